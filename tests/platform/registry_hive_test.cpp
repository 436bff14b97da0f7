#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/registry_hive.h"

using namespace platform;

namespace {

Hive SampleHive() {
    Hive hive;
    hive.Find(u"")->values.push_back({u"RootValue", kHiveValueDword, 1, {}});
    hive.Create(u"SOFTWARE\\Microsoft\\DirectShow");
    hive.Create(u"SOFTWARE\\odd \"name\" é\U0001F4FB\t");
    hive.Create(u"SOFTWARE B");
    HiveKey* key = hive.Find(u"software\\microsoft");
    key->values.push_back({u"", kHiveValueString, 0, u"default"});
    key->values.push_back({u"back\\slash", kHiveValueString, 0, u"line\nfeed\r\x01\x7f\"q\" 한글"});
    key->values.push_back({u"Max", kHiveValueDword, 0xFFFFFFFF, {}});
    return hive;
}

TEST(HiveFormat, RoundTripKeepsEveryKeyValueAndCharacter) {
    std::string text = SerializeHive(SampleHive());
    HiveParseResult parsed = ParseHive(text);
    ASSERT_TRUE(parsed.hive) << parsed.error << " at line " << parsed.line << "\n" << text;
    EXPECT_EQ(SerializeHive(*parsed.hive), text);

    const HiveKey* key = parsed.hive->Find(u"SOFTWARE\\MICROSOFT");
    ASSERT_NE(key, nullptr);
    ASSERT_NE(key->FindValue(u"BACK\\SLASH"), nullptr);
    EXPECT_EQ(key->FindValue(u"back\\slash")->text, u"line\nfeed\r\x01\x7f\"q\" 한글");
    EXPECT_EQ(key->FindValue(u"max")->number, 0xFFFFFFFFu);
    EXPECT_NE(parsed.hive->Find(u"software\\odd \"name\" É\U0001F4FB\t"), nullptr);
    EXPECT_EQ(text.find('\r'), std::string::npos) << "one item a line";
}

TEST(HiveFormat, EmptyHiveIsHeaderAndEnd) {
    EXPECT_EQ(SerializeHive(Hive()), "dmbtpeg-hive 1\nend\n");
    EXPECT_TRUE(ParseHive("dmbtpeg-hive 1\nend\n").hive);
}

TEST(HiveFormat, RejectsWhatTheWriterNeverProduces) {
    const std::string head = "dmbtpeg-hive 1\n";
    struct Case {
        std::string text;
        std::size_t line;
    };
    const Case cases[] = {
        {"", 1},
        {"dmbtpeg-hive 2\nend\n", 1},
        {head, 2},                                          // cut before the end line
        {head + "end", 2},                                  // cut inside it
        {head + "end\nkey \"A\"\n", 3},                     // text after the end
        {head + "key \"A\\\\B\"\nend\n", 2},                // parent missing
        {head + "key \"A\"\nkey \"a\"\nend\n", 3},          // declared twice
        {head + "key \"\"\nend\n", 2},                      // empty name
        {head + "key \"A\\\\\\\\B\"\nend\n", 2},            // empty part
        {head + "key \"\\\\A\"\nend\n", 2},                 // leading separator
        {head + "dword \"n\" 1\ndword \"N\" 2\nend\n", 3},  // value twice
        {head + "dword \"n\" 4294967296\nend\n", 2},
        {head + "dword \"n\" -1\nend\n", 2},
        {head + "dword \"n\" 1 \nend\n", 2},
        {head + "dword \"n\"  1\nend\n", 2},
        {head + "sz \"n\" \"abc\nend\n", 2},
        {head + "sz \"n\" \"a\\qb\"\nend\n", 2},
        {head + "sz \"n\" \"a\\x00\"\nend\n", 2},
        {head + "sz \"n\" \"a\\x8\"\nend\n", 2},
        {head + "sz \"n\" \"a\tb\"\nend\n", 2},
        {head + "sz \"n\" \"\xC3\x28\"\nend\n", 2},      // invalid UTF-8
        {head + "sz \"n\" \"\xED\xA0\x80\"\nend\n", 2},  // encoded surrogate
        {head + "sz \"n\"\nend\n", 2},
        {head + "binary \"n\" 00\nend\n", 2},
        {head + "\nend\n", 2},
        {"dmbtpeg-hive 1\r\nend\r\n", 1},
    };
    for (const auto& c : cases) {
        HiveParseResult parsed = ParseHive(c.text);
        EXPECT_FALSE(parsed.hive) << c.text;
        EXPECT_FALSE(parsed.error.empty()) << c.text;
        EXPECT_EQ(parsed.line, c.line) << c.text << " (" << parsed.error << ")";
    }
}

TEST(HiveFormat, KeyNameAndDepthLimitsHold) {
    std::string head = "dmbtpeg-hive 1\n";
    std::string longName(kMaxKeyNameLength + 1, 'k');
    EXPECT_FALSE(ParseHive(head + "key \"" + longName + "\"\nend\n").hive);
    EXPECT_TRUE(ParseHive(head + "key \"" + longName.substr(1) + "\"\nend\n").hive);

    std::u16string deep;
    for (std::size_t i = 0; i <= kMaxKeyDepth; ++i) {
        deep += deep.empty() ? u"k" : u"\\k";
    }
    EXPECT_FALSE(SplitKeyPath(deep));
    EXPECT_FALSE(Hive().Create(deep));
    EXPECT_TRUE(SplitKeyPath(deep.substr(2)));
}

TEST(HiveFormat, DamagedFilesNeverCrashAndWhatParsesIsStable) {
    const std::string valid = SerializeHive(SampleHive());
    std::mt19937 random(20240601);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = valid;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            std::size_t at = random() % (text.size() + 1);
            switch (random() % 4) {
                case 0:
                    if (at < text.size()) {
                        text[at] = static_cast<char>(random() & 0xFF);
                    }
                    break;
                case 1:
                    text.insert(at, 1, "\"\\\n x0"[random() % 6]);
                    break;
                case 2:
                    text.erase(at, random() % 8);
                    break;
                default:
                    text.resize(at);
            }
        }
        HiveParseResult parsed = ParseHive(text);
        if (parsed.hive) {
            ++accepted;
            std::string again = SerializeHive(*parsed.hive);
            HiveParseResult reparsed = ParseHive(again);
            ASSERT_TRUE(reparsed.hive) << reparsed.error << "\n" << again;
            EXPECT_EQ(SerializeHive(*reparsed.hive), again);
        } else {
            EXPECT_GT(parsed.line, 0u);
        }
    }
    EXPECT_LT(accepted, 3000) << "damage must be noticed";
}

TEST(HiveModel, DeleteTreeKeepsLookalikeSiblingsAndTheRoot) {
    Hive hive = SampleHive();
    hive.Empty(u"SOFTWARE\\Microsoft");
    ASSERT_NE(hive.Find(u"SOFTWARE\\Microsoft"), nullptr);
    EXPECT_TRUE(hive.Find(u"SOFTWARE\\Microsoft")->values.empty());
    EXPECT_EQ(hive.Find(u"SOFTWARE\\Microsoft\\DirectShow"), nullptr);
    hive.DeleteTree(u"SOFTWARE");
    EXPECT_EQ(hive.Find(u"SOFTWARE\\Microsoft"), nullptr);
    EXPECT_EQ(hive.Find(u"SOFTWARE"), nullptr);
    EXPECT_NE(hive.Find(u"SOFTWARE B"), nullptr);
    hive.DeleteTree(u"");
    EXPECT_EQ(hive.AllKeys().size(), 1u);
    EXPECT_NE(hive.Find(u""), nullptr);
    EXPECT_TRUE(hive.Find(u"")->values.empty());
}

}  // namespace
