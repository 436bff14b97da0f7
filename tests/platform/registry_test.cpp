#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "platform/registry_hive.h"
#include "platform/text.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

using testsupport::CapturingLogSink;

using namespace platform;
using testsupport::ChildProcess;

namespace {

class Registry : public testing::Test {
  protected:
    ~Registry() override {
        for (HKEY key : m_open) {
            RegCloseKey(key);
        }
    }

    HKEY Create(HKEY root, const char16_t* path, DWORD* disposition = nullptr) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyEx(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 nullptr, &key, disposition),
                  ERROR_SUCCESS);
        m_open.push_back(key);
        return key;
    }
    HKEY Open(HKEY root, const char16_t* path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyEx(root, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        m_open.push_back(key);
        return key;
    }
    static LONG SetDword(HKEY key, const char16_t* name, DWORD value) {
        return RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value);
    }
    static LONG SetString(HKEY key, const char16_t* name, std::u16string_view text) {
        std::u16string terminated(text);
        return RegSetValueEx(key, name, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(terminated.c_str()),
                             static_cast<DWORD>((terminated.size() + 1) * sizeof(char16_t)));
    }
    static LONG OpenStatus(HKEY root, const char16_t* path) {
        HKEY key = nullptr;
        LONG result = RegOpenKeyEx(root, path, 0, KEY_ALL_ACCESS, &key);
        RegCloseKey(key);
        return result;
    }
    std::string HivePath(const char* name = "HKLM.hive") const {
        return m_root.Path() + "/.registry/" + name;
    }
    std::vector<std::string> RegistryFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_root / ".registry")) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::TempDir m_root;
    testsupport::ScopedEnv m_env{"DMBTPEG_ROOT", m_root.Path()};
    std::vector<HKEY> m_open;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(Registry, CreateMakesParentsAndThenOpensTheExistingKey) {
    DWORD disposition = 0;
    Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\DirectShow\\ThreadPriority", &disposition);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft"), ERROR_SUCCESS);

    Create(HKEY_LOCAL_MACHINE, u"software\\MICROSOFT\\directshow", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

    // Relative to an opened key, and hives kept apart.
    HKEY software = Open(HKEY_LOCAL_MACHINE, u"Software");
    Create(software, u"Microsoft\\DirectShow", &disposition);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(OpenStatus(HKEY_CLASSES_ROOT, u"SOFTWARE"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Other"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ReadingAMissingHiveCreatesNothing) {
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"SOFTWARE"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE", u"x"), std::nullopt);
    struct stat st {};
    EXPECT_NE(::stat((m_root / ".registry").c_str(), &st), 0);
}

TEST_F(Registry, DwordAndStringValuesRoundTrip) {
    HKEY key = Create(HKEY_CLASSES_ROOT, u"CLSID\\{1234}\\InprocServer32");
    const std::u16string path = u"lib\\\"tuner\" 튜너\n\U0001F4FB.so";
    ASSERT_EQ(SetString(key, nullptr, path), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, u"ThreadingModel", u"Both"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"Priority", 0xFFFFFFFE), ERROR_SUCCESS);

    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"CLSID\\{1234}\\InprocServer32", u""), path);
    EXPECT_EQ(RegGetDword(HKEY_CLASSES_ROOT, u"clsid\\{1234}\\inprocserver32", u"priority"),
              0xFFFFFFFEu);
    EXPECT_EQ(RegGetDword(HKEY_CLASSES_ROOT, u"CLSID\\{1234}\\InprocServer32", u"ThreadingModel"),
              std::nullopt)
        << "a string is not a number";
    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"CLSID\\{1234}\\InprocServer32", u"Priority"),
              std::nullopt);
    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"CLSID\\{1234}\\InprocServer32", u"threadingmodel"),
              u"Both");
}

TEST_F(Registry, StringsAreStoredUpToTheirFirstNulAndReadBackTerminated) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"K");
    const char16_t unterminated[] = {u'a', u'b'};
    ASSERT_EQ(RegSetValueEx(key, u"u", 0, REG_SZ, reinterpret_cast<const BYTE*>(unterminated),
                            sizeof unterminated),
              ERROR_SUCCESS);
    const char16_t embedded[] = u"ab\0cd";
    ASSERT_EQ(RegSetValueEx(key, u"e", 0, REG_SZ, reinterpret_cast<const BYTE*>(embedded),
                            sizeof embedded),
              ERROR_SUCCESS);
    EXPECT_EQ(RegGetString(HKEY_LOCAL_MACHINE, u"K", u"u"), u"ab");
    EXPECT_EQ(RegGetString(HKEY_LOCAL_MACHINE, u"K", u"e"), u"ab");
}

TEST_F(Registry, ValueNamesIgnoreCaseAndAreReplacedNotDuplicated) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"K");
    ASSERT_EQ(SetDword(key, u"Count", 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key, u"COUNT", 2), ERROR_SUCCESS);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, u"k", u"count"), 2u);
    EXPECT_EQ(ReadAll(HivePath()).find("COUNT"), std::string::npos)
        << "the value keeps the name it was first set with";
}

TEST_F(Registry, DeleteTreeRemovesTheSubtreeOnly) {
    HKEY root = Create(HKEY_LOCAL_MACHINE, u"A");
    ASSERT_EQ(SetDword(root, u"kept", 1), ERROR_SUCCESS);
    HKEY doomed = Create(HKEY_LOCAL_MACHINE, u"A\\B\\C");
    Create(HKEY_LOCAL_MACHINE, u"A\\B\\D");
    // Siblings whose names start like the deleted key, or sort between it and
    // its children.
    Create(HKEY_LOCAL_MACHINE, u"A\\BC");
    Create(HKEY_LOCAL_MACHINE, u"A\\B C\\x");
    Create(HKEY_LOCAL_MACHINE, u"A B");

    EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, u"a\\b"), ERROR_SUCCESS);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"A\\B"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"A\\B\\D"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"A\\BC"), ERROR_SUCCESS);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"A\\B C\\x"), ERROR_SUCCESS);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"A B"), ERROR_SUCCESS);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, u"A", u"kept"), 1u);
    EXPECT_EQ(RegDeleteTree(HKEY_LOCAL_MACHINE, u"A\\B"), ERROR_FILE_NOT_FOUND);

    // A handle to a deleted key fails cleanly, also for creating below it.
    EXPECT_EQ(SetDword(doomed, u"x", 1), ERROR_KEY_DELETED);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyEx(doomed, u"E", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"A\\B"), ERROR_FILE_NOT_FOUND);

    // Without a subkey only what is below the key goes.
    EXPECT_EQ(RegDeleteTree(root, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"A"), ERROR_SUCCESS);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"A\\BC"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, u"A", u"kept"), std::nullopt);
    EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"A B"), ERROR_SUCCESS);
}

TEST_F(Registry, ClosedAndForeignHandlesFailCleanly) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"K");
    m_open.clear();
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key, u"x", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

    UniqueHandle event(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    auto notAKey = reinterpret_cast<HKEY>(event.Get());
    EXPECT_EQ(RegCloseKey(notAKey), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetDword(notAKey, u"x", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(OpenStatus(reinterpret_cast<HKEY>(std::uintptr_t{0x80000001}), u"x"),
              ERROR_INVALID_HANDLE)
        << "only the two hives exist";
}

TEST_F(Registry, RefusesWhatItCannotStore) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"K");
    WORD half = 1;
    EXPECT_EQ(RegSetValueEx(key, u"x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&half), 2),
              ERROR_INVALID_PARAMETER);
    BYTE blob[3] = {1, 2, 3};
    EXPECT_EQ(RegSetValueEx(key, u"x", 0, 3, blob, 3), ERROR_NOT_SUPPORTED);
    std::u16string longName(kMaxKeyNameLength + 1, u'n');
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyEx(key, longName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child,
                             nullptr),
              ERROR_INVALID_PARAMETER);
    std::u16string withNul = u"K";
    withNul += u'\0';
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, withNul, u"x"), std::nullopt);
}

TEST_F(Registry, CorruptHiveWithoutAGoodCopyIsSetAsideAndReplacedByAnEmptyOne) {
    Create(HKEY_LOCAL_MACHINE, u"K");
    const std::string garbage = "dmbtpeg-hive 1\nkey \"K\nend\n\x01\xff";
    std::ofstream(HivePath(), std::ios::binary | std::ios::trunc) << garbage;
    ASSERT_TRUE(std::filesystem::remove(HivePath("HKLM.hive.good")));

    CapturingLogSink log;
    {
        ScopedLogSink scoped(log);
        EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"K"), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, u"K", u"x"), std::nullopt);
    }
    ASSERT_EQ(log.Lines().size(), 1u) << log.Text();
    EXPECT_NE(log.Text().find("corrupt"), std::string::npos) << log.Text();
    EXPECT_NE(log.Text().find("line 2"), std::string::npos) << log.Text();
    EXPECT_NE(log.Text().find("no good copy"), std::string::npos) << log.Text();

    std::string aside;
    for (const auto& name : RegistryFiles()) {
        if (name.rfind("HKLM.hive.corrupt-", 0) == 0) {
            aside = name;
        }
    }
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(ReadAll(m_root / (".registry/" + aside)), garbage);

    HKEY key = Create(HKEY_LOCAL_MACHINE, u"Fresh");
    ASSERT_EQ(SetDword(key, u"n", 5), ERROR_SUCCESS);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, u"Fresh", u"n"), 5u);
    EXPECT_TRUE(ParseHive(ReadAll(HivePath())).hive.has_value());
}

TEST_F(Registry, EverySuccessfulSaveKeepsAGoodCopyNextToTheHive) {
    HKEY key = Create(HKEY_CLASSES_ROOT, u"CLSID\\{9BE304DD}\\InprocServer32");
    ASSERT_EQ(SetString(key, nullptr, u"/usr/lib/libtdmbdevices.so"), ERROR_SUCCESS);
    EXPECT_EQ(ReadAll(HivePath("HKCR.hive.good")), ReadAll(HivePath("HKCR.hive")));
    EXPECT_TRUE(ParseHive(ReadAll(HivePath("HKCR.hive.good"))).hive.has_value());
}

// The tuner's class registration must survive a damaged HKCR, or the service
// could never start again.
TEST_F(Registry, DamagedHiveGoesOnFromItsLastGoodCopyWithOneLine) {
    HKEY key = Create(HKEY_CLASSES_ROOT, u"CLSID\\{9BE304DD}\\InprocServer32");
    ASSERT_EQ(SetString(key, nullptr, u"/usr/lib/libtdmbdevices.so"), ERROR_SUCCESS);
    const std::string saved = ReadAll(HivePath("HKCR.hive"));
    const std::string damaged = saved.substr(0, saved.size() / 2);
    std::ofstream(HivePath("HKCR.hive"), std::ios::binary | std::ios::trunc) << damaged;

    CapturingLogSink log;
    {
        ScopedLogSink scoped(log);
        EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"CLSID\\{9BE304DD}\\InprocServer32", u""),
                  u"/usr/lib/libtdmbdevices.so");
        EXPECT_EQ(OpenStatus(HKEY_CLASSES_ROOT, u"CLSID\\{9BE304DD}"), ERROR_SUCCESS);
    }
    ASSERT_EQ(log.Lines().size(), 1u) << log.Text() << "the hive is whole again after the first";
    EXPECT_NE(log.Text().find("corrupt"), std::string::npos) << log.Text();
    EXPECT_NE(log.Text().find("last good copy"), std::string::npos) << log.Text();
    EXPECT_EQ(ReadAll(HivePath("HKCR.hive")), saved);
    std::string aside;
    for (const auto& name : RegistryFiles()) {
        if (name.rfind("HKCR.hive.corrupt-", 0) == 0) {
            aside = name;
        }
    }
    ASSERT_FALSE(aside.empty());
    EXPECT_EQ(ReadAll(m_root / (".registry/" + aside)), damaged);

    ASSERT_EQ(SetDword(key, u"Priority", 3), ERROR_SUCCESS);
    EXPECT_EQ(RegGetDword(HKEY_CLASSES_ROOT, u"CLSID\\{9BE304DD}\\InprocServer32", u"Priority"),
              3u);
}

// A save cut off between the hive and its good copy: the hive is damaged
// and the good copy is one change behind.
TEST_F(Registry, ADamagedHiveCostsAtMostTheLastChange) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Service");
    ASSERT_EQ(SetDword(key, u"Channel", 1), ERROR_SUCCESS);
    const std::string before = ReadAll(HivePath("HKLM.hive.good"));
    ASSERT_EQ(SetDword(key, u"Channel", 2), ERROR_SUCCESS);
    std::ofstream(HivePath("HKLM.hive.good"), std::ios::binary | std::ios::trunc) << before;
    std::ofstream(HivePath(), std::ios::binary | std::ios::trunc) << "dmbtpeg-hive 1\nkey";

    CapturingLogSink log;
    ScopedLogSink scoped(log);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Service", u"Channel"), 1u);
    EXPECT_EQ(log.Lines().size(), 1u) << log.Text();
}

TEST_F(Registry, AHiveWhoseGoodCopyIsDamagedTooStartsEmpty) {
    Create(HKEY_LOCAL_MACHINE, u"K");
    std::ofstream(HivePath(), std::ios::binary | std::ios::trunc) << "garbage";
    std::ofstream(HivePath("HKLM.hive.good"), std::ios::binary | std::ios::trunc) << "garbage too";

    CapturingLogSink log;
    {
        ScopedLogSink scoped(log);
        EXPECT_EQ(OpenStatus(HKEY_LOCAL_MACHINE, u"K"), ERROR_FILE_NOT_FOUND);
    }
    ASSERT_EQ(log.Lines().size(), 1u) << log.Text();
    EXPECT_NE(log.Text().find("good copy is corrupt too"), std::string::npos) << log.Text();
    // The next save makes a good copy again.
    Create(HKEY_LOCAL_MACHINE, u"Fresh");
    EXPECT_EQ(ReadAll(HivePath("HKLM.hive.good")), ReadAll(HivePath()));
}

TEST_F(Registry, ADamagedGoodCopyAloneChangesNothingAndIsRewrittenByTheNextSave) {
    HKEY key = Create(HKEY_LOCAL_MACHINE, u"K");
    ASSERT_EQ(SetDword(key, u"n", 1), ERROR_SUCCESS);
    std::ofstream(HivePath("HKLM.hive.good"), std::ios::binary | std::ios::trunc) << "garbage";
    CapturingLogSink log;
    {
        ScopedLogSink scoped(log);
        EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, u"K", u"n"), 1u);
    }
    EXPECT_TRUE(log.Lines().empty()) << log.Text();
    ASSERT_EQ(SetDword(key, u"n", 2), ERROR_SUCCESS);
    EXPECT_EQ(ReadAll(HivePath("HKLM.hive.good")), ReadAll(HivePath()));
}

TEST_F(Registry, AValueSetByOneProcessIsSeenByAnother) {
    std::map<std::string, std::string> env{{"DMBTPEG_ROOT", m_root.Path()}};
    {
        ChildProcess writer("platform_helper", {"regset", "SOFTWARE\\Service", "Channel", "42"},
                            env);
        ASSERT_EQ(writer.Wait(std::chrono::seconds(30)), 0) << writer.Errors();
        EXPECT_EQ(writer.Output(), "set 0\n");
    }
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, u"software\\service", u"channel"), 42u);

    HKEY key = Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Service");
    ASSERT_EQ(SetDword(key, u"Channel", 7), ERROR_SUCCESS);
    ChildProcess reader("platform_helper", {"regget", "SOFTWARE\\Service", "Channel"}, env);
    ASSERT_EQ(reader.Wait(std::chrono::seconds(30)), 0) << reader.Errors();
    EXPECT_EQ(reader.Output(), "7\n");
}

TEST_F(Registry, ConcurrentWritersInTwoProcessesLoseNoChange) {
    std::map<std::string, std::string> env{{"DMBTPEG_ROOT", m_root.Path()}};
    constexpr int kCount = 25;
    ChildProcess first("platform_helper", {"regfill", "Shared", "a", std::to_string(kCount)}, env);
    ChildProcess second("platform_helper", {"regfill", "Shared", "b", std::to_string(kCount)}, env);
    ASSERT_EQ(first.Wait(std::chrono::seconds(60)), 0) << first.Output() << first.Errors();
    ASSERT_EQ(second.Wait(std::chrono::seconds(60)), 0) << second.Output() << second.Errors();
    for (int i = 0; i < kCount; ++i) {
        for (const char* prefix : {"a", "b"}) {
            std::u16string name = FromUtf8(prefix + std::to_string(i));
            EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, u"Shared", name), static_cast<DWORD>(i))
                << prefix << i;
        }
    }
}

}  // namespace
