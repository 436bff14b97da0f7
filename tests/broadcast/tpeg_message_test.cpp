#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "broadcast/content_budget.h"
#include "broadcast/sni.h"
#include "broadcast/tpeg_frame.h"
#include "broadcast/tpeg_frame_finder.h"
#include "broadcast/tpeg_message.h"
#include "broadcast/tpeg_message_store.h"

namespace {

using broadcast::MessageManagement;
using broadcast::TpegMessageStore;
using Outcome = broadcast::TpegMessageStore::Outcome;
using Bytes = std::vector<std::uint8_t>;

Bytes Message(std::uint32_t id, std::uint8_t version, std::uint32_t expiry, bool cancel = false,
              Bytes body = {0x03, 0x02, 0x01, 0x07}) {
    MessageManagement mmc;
    mmc.messageId = id;
    mmc.versionId = version;
    mmc.expiryTime = expiry;
    mmc.cancel = cancel;
    Bytes out;
    broadcast::AppendTpegMessage(0, mmc, body, out);
    return out;
}

Bytes Frame(const std::vector<Bytes>& messages, std::optional<std::uint8_t> priority = {}) {
    Bytes out;
    if (priority) {
        out.push_back(*priority);
    }
    out.push_back(static_cast<std::uint8_t>(messages.size()));
    for (const Bytes& m : messages) {
        out.insert(out.end(), m.begin(), m.end());
    }
    return out;
}

TEST(TpegMessages, ReadsHandWrittenContainers) {
    // Message id 28179 in three bytes, version 26, expiry, a selector flagging the cancel flag
    // and the generation time, then one attribute byte left undecoded and a sub-component of
    // the container.
    const Bytes message = {0x00, 0x16, 0x00,                                      // message
                           0x01, 0x13, 0x0F,                                      // MMC
                           0x81, 0xDC, 0x13, 0x1A, 0x56, 0x66, 0xEE, 0xEB, 0x60,  // id ... selector
                           0x01, 0x56, 0x66, 0xEE, 0x00, 0x09,                    // cancel, time
                           0x07, 0x01, 0x00};                                     // sub-component
    const auto frame = broadcast::ParseTpegMessages(Frame({message}));
    ASSERT_TRUE(frame.complete);
    ASSERT_EQ(frame.messages.size(), 1u);
    const MessageManagement& mmc = frame.messages[0].management;
    EXPECT_EQ(mmc.messageId, 28179u);
    EXPECT_EQ(mmc.versionId, 26);
    EXPECT_EQ(mmc.expiryTime, 0x5666EEEBu);
    EXPECT_TRUE(mmc.cancel);
    EXPECT_EQ(mmc.generationTime, 0x5666EE00u);
    EXPECT_EQ(mmc.otherAttributes.size(), 1u);
    EXPECT_EQ(mmc.subComponents.size(), 3u);
    EXPECT_EQ(frame.messages[0].bytes.size(), message.size());

    // The builder's messages read back, with and without a group priority.
    const Bytes built = Message(0xF0000000u, 4, 1000, true);  // an id of five bytes
    for (const auto priority : {std::optional<std::uint8_t>{}, std::optional<std::uint8_t>{2}}) {
        const auto again = broadcast::ParseTpegMessages(Frame({built, built}, priority));
        EXPECT_TRUE(again.complete);
        EXPECT_EQ(again.groupPriority, priority);
        ASSERT_EQ(again.messages.size(), 2u);
        EXPECT_EQ(again.messages[1].management.messageId, 0xF0000000u);
        EXPECT_TRUE(again.messages[1].management.cancel);
    }
}

TEST(TpegMessages, DamagedFramesKeepWhatWasFramedBeforeTheFault) {
    const Bytes good = Message(1, 1, 1000);
    // A message without a management container is skipped by its length.
    const Bytes noContainer = {0x00, 0x04, 0x00, 0x03, 0x01, 0x00};
    auto frame = broadcast::ParseTpegMessages(Frame({noContainer, good}));
    EXPECT_TRUE(frame.complete);
    EXPECT_EQ(frame.malformed, 1u);
    ASSERT_EQ(frame.messages.size(), 1u);
    EXPECT_EQ(frame.messages[0].management.messageId, 1u);

    // Truncated: the count promises more than arrives.
    Bytes truncated = Frame({good, good});
    truncated.resize(truncated.size() - 3);
    frame = broadcast::ParseTpegMessages(truncated);
    EXPECT_FALSE(frame.complete);
    EXPECT_EQ(frame.messages.size(), 1u);

    // A selector that never ends, an attribute block shorter than its fixed fields.
    const Bytes endlessSelector = {0x00, 0x0E, 0x00, 0x01, 0x0B, 0x0A, 0x01, 0x01,
                                   0x00, 0x00, 0x00, 0x01, 0x80, 0x80, 0x80, 0x80};
    const Bytes shortContainer = {0x00, 0x07, 0x00, 0x01, 0x04, 0x03, 0x01, 0x01, 0x00};
    frame = broadcast::ParseTpegMessages(Frame({endlessSelector, shortContainer}));
    EXPECT_TRUE(frame.complete);
    EXPECT_EQ(frame.malformed, 2u);

    for (const Bytes& junk : {Bytes{}, Bytes{0x05}, Bytes{0x00, 0x01}, Bytes{0x01, 0x00, 0x85}}) {
        EXPECT_TRUE(broadcast::ParseTpegMessages(junk).messages.empty());
    }
}

std::vector<std::uint32_t> FileIds(const TpegMessageStore& store) {
    const Bytes file = store.File();
    const auto entries = broadcast::ReadMessageFile(file);
    std::vector<std::uint32_t> ids;
    if (!entries) {
        ADD_FAILURE() << "store wrote an unreadable file";
        return ids;
    }
    for (const auto& entry : *entries) {
        ids.push_back(entry.messageId);
    }
    return ids;
}

Outcome Apply(TpegMessageStore& store, const Bytes& message, std::int64_t now = 0,
              std::uint16_t aid = 0) {
    const Bytes data = Frame({message});
    const auto frame = broadcast::ParseTpegMessages(data);
    EXPECT_EQ(frame.messages.size(), 1u);
    return store.Apply(frame.messages.at(0), now, aid);
}

TEST(TpegMessageStore, AddsReplacesAndIgnoresRepetitions) {
    broadcast::ContentBudget budget;
    TpegMessageStore store(budget);
    EXPECT_EQ(Apply(store, Message(9, 1, 100)), Outcome::Added);
    EXPECT_EQ(Apply(store, Message(2, 1, 100)), Outcome::Added);
    EXPECT_EQ(Apply(store, Message(9, 1, 100, false, {0x03, 0x00})), Outcome::Repeated);
    const Bytes before = store.File();
    EXPECT_EQ(Apply(store, Message(9, 2, 100, false, {0x03, 0x00})), Outcome::Replaced);
    EXPECT_NE(store.File(), before);
    EXPECT_EQ(Apply(store, Message(9, 1, 100)), Outcome::Outdated);
    // Versions wrap: 255 is before 0, and 0 before 1.
    EXPECT_EQ(Apply(store, Message(7, 255, 100)), Outcome::Added);
    EXPECT_EQ(Apply(store, Message(7, 0, 100)), Outcome::Replaced);
    EXPECT_EQ(Apply(store, Message(7, 255, 100)), Outcome::Outdated);
    EXPECT_EQ(FileIds(store), (std::vector<std::uint32_t>{2, 7, 9}));

    // The file holds each message's bytes exactly as broadcast.
    const Bytes file = store.File();
    const auto entries = broadcast::ReadMessageFile(file);
    ASSERT_TRUE(entries);
    const Bytes nine = Message(9, 2, 100, false, {0x03, 0x00});
    EXPECT_EQ(Bytes((*entries)[2].bytes.begin(), (*entries)[2].bytes.end()), nine);
    EXPECT_EQ((*entries)[2].versionId, 2);
    EXPECT_EQ((*entries)[2].expiryTime, 100u);

    // Message ids are an application's own: the same id of another AID feeding the store is
    // another message, filed after those of lower AIDs.
    EXPECT_EQ(Apply(store, Message(2, 1, 100), 0, 0x0005), Outcome::Added);
    const Bytes mixed = store.File();
    const auto both = broadcast::ReadMessageFile(mixed);
    ASSERT_TRUE(both);
    ASSERT_EQ(both->size(), 4u);
    EXPECT_EQ((*both)[0].aid, 0);
    EXPECT_EQ((*both)[3].aid, 0x0005);
    EXPECT_EQ((*both)[3].messageId, 2u);
}

TEST(TpegMessageStore, CancelsAndExpiry) {
    broadcast::ContentBudget budget;
    TpegMessageStore store(budget);
    ASSERT_EQ(Apply(store, Message(1, 1, 500)), Outcome::Added);
    ASSERT_EQ(Apply(store, Message(2, 1, 200)), Outcome::Added);
    // A cancel removes; the older version still on the carousel does not come back, until the
    // cancel itself expires.
    EXPECT_EQ(Apply(store, Message(1, 2, 300, true)), Outcome::Removed);
    EXPECT_EQ(Apply(store, Message(1, 1, 500)), Outcome::Outdated);
    EXPECT_EQ(Apply(store, Message(1, 2, 300, true)), Outcome::Repeated);
    EXPECT_EQ(Apply(store, Message(5, 1, 300, true)), Outcome::Noted);
    EXPECT_EQ(FileIds(store), std::vector<std::uint32_t>{2});
    EXPECT_EQ(store.NextExpiry(), 200u);

    EXPECT_EQ(store.Expire(199), 0u);
    EXPECT_EQ(store.Expire(200), 1u);
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_EQ(store.NextExpiry(), 300u);
    EXPECT_EQ(store.Expire(300), 0u);  // only the remembered cancels went
    EXPECT_FALSE(store.NextExpiry());
    EXPECT_EQ(Apply(store, Message(1, 1, 500), 300), Outcome::Added);

    // An expired message is not taken, and removes the older version it updates.
    EXPECT_EQ(Apply(store, Message(3, 1, 300), 300), Outcome::Noted);
    EXPECT_EQ(Apply(store, Message(1, 2, 300), 300), Outcome::Removed);
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_EQ(store.Held(), 0u);
    EXPECT_EQ(budget.Held(), 0u);
}

TEST(TpegMessageStore, ChargesItsBudget) {
    const std::size_t one = TpegMessageStore::kEntryOverhead + Message(1, 1, 100).size();
    broadcast::ContentBudget budget(2 * one, 3 * one);
    TpegMessageStore first(budget);
    TpegMessageStore second(budget);
    EXPECT_EQ(Apply(first, Message(1, 1, 100)), Outcome::Added);
    EXPECT_EQ(Apply(first, Message(2, 1, 100)), Outcome::Added);
    EXPECT_EQ(Apply(first, Message(3, 1, 100)), Outcome::Refused);
    // A larger newer version that does not fit leaves the older one.
    EXPECT_EQ(Apply(first, Message(2, 2, 100, false, Bytes(40, 0))), Outcome::Refused);
    EXPECT_EQ(Apply(second, Message(1, 1, 100)), Outcome::Added);
    EXPECT_EQ(Apply(second, Message(2, 1, 100)), Outcome::OverBudget);
    EXPECT_EQ(FileIds(first), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(budget.Held(), 3 * one);
    EXPECT_TRUE(first.Clear());
    EXPECT_EQ(budget.Held(), one);
}

TEST(TpegMessageFile, RejectsWhatItDidNotWrite) {
    broadcast::ContentBudget budget;
    TpegMessageStore store(budget);
    Bytes file = store.File();
    EXPECT_EQ(file, (Bytes{'T', 'P', 'M', 'S', 0, 2, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(broadcast::ReadMessageFile(file));
    Apply(store, Message(1, 1, 100));
    file = store.File();
    for (std::size_t cut = 0; cut < file.size(); ++cut) {
        EXPECT_FALSE(broadcast::ReadMessageFile(std::span(file).first(cut))) << cut;
    }
    file[11] = 0xFF;  // a count the bytes cannot hold
    EXPECT_FALSE(broadcast::ReadMessageFile(file));
}

// The independent sample streams against their analyses: every message's id, version and
// expiry time, and each component frame's message count.
const std::filesystem::path kSamples = std::filesystem::path(DMBTPEG_TESTDATA_DIR) / "tpeg-tisa";

struct Expected {
    std::vector<std::size_t> counts;  // per application component frame
    std::vector<std::array<std::int64_t, 3>> messages;
};

std::int64_t UtcSeconds(int y, unsigned mo, unsigned d, int h, int mi, int s) {
    using namespace std::chrono;
    const sys_days date{year{y} / month{mo} / day{d}};
    return date.time_since_epoch().count() * 86400 + h * 3600 + mi * 60 + s;
}

Expected ReadAnalysis(const std::filesystem::path& path) {
    std::ifstream in(path);
    const std::regex scid(R"(^\s*\+ SCID\s+= (\d+)\s*$)");
    const std::regex count(R"(^\s*\+ Message count\s+= (\d+))");
    const std::regex id(R"(^\s*\+ messageID\s+= (\d+))");
    const std::regex version(R"(^\s*\+ versionID\s+= (\d+))");
    const std::regex expiry(R"(^\s*\+ messageExpiryTime\s+= (\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+))");
    Expected expected;
    int currentScid = -1;
    std::array<std::int64_t, 3> message{};
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, scid)) {
            currentScid = std::stoi(m[1]);
        } else if (std::regex_search(line, m, count) && currentScid != broadcast::kSniScid) {
            expected.counts.push_back(std::stoul(m[1]));
        } else if (std::regex_search(line, m, id)) {
            message[0] = std::stoll(m[1]);
        } else if (std::regex_search(line, m, version)) {
            message[1] = std::stoll(m[1]);
        } else if (std::regex_search(line, m, expiry)) {
            message[2] = UtcSeconds(std::stoi(m[1]), std::stoul(m[2]), std::stoul(m[3]),
                                    std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6]));
            expected.messages.push_back(message);
        }
    }
    return expected;
}

// Calls f with the data of every application component frame in the stream.
template <typename F>
void ForEachApplicationFrame(const Bytes& stream, F&& f) {
    broadcast::TransportFrameFinder finder;
    finder.Push(stream);
    while (const auto frame = finder.Next()) {
        if (frame->frameType != broadcast::kServiceFrameType) {
            continue;
        }
        const auto service = broadcast::ParseServiceFrame(frame->serviceFrame);
        ASSERT_EQ(service.error, broadcast::TpegError::None);
        auto rest = service.frame.components;
        while (!rest.empty()) {
            const auto component = broadcast::ParseComponentFrame(rest);
            ASSERT_EQ(component.error, broadcast::TpegError::None);
            rest = rest.subspan(component.frame.size);
            if (component.frame.scid != broadcast::kSniScid) {
                f(component.frame.data);
            }
        }
    }
}

TEST(TpegMessageSamples, MessagesMatchTheReferenceAnalyses) {
    if (!std::filesystem::is_directory(kSamples)) {
        GTEST_SKIP() << "independent TPEG samples not found at " << kSamples;
    }
    std::size_t streams = 0;
    std::size_t analysed = 0;
    for (const auto& file : std::filesystem::directory_iterator(kSamples)) {
        const auto extension = file.path().extension();
        if (extension == ".txt" || extension == ".md" || file.path().filename() == "LICENSE") {
            continue;
        }
        SCOPED_TRACE(file.path().filename().string());
        ++streams;
        std::ifstream in(file.path(), std::ios::binary);
        const Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        Expected found;
        std::set<std::uint32_t> ids;
        std::int64_t earliest = INT64_MAX;
        std::int64_t latest = 0;
        ForEachApplicationFrame(bytes, [&](std::span<const std::uint8_t> data) {
            const auto messages = broadcast::ParseTpegMessages(data);
            EXPECT_TRUE(messages.complete);
            EXPECT_EQ(messages.malformed, 0u);
            found.counts.push_back(messages.messages.size());
            for (const auto& message : messages.messages) {
                const auto& mmc = message.management;
                EXPECT_FALSE(mmc.cancel);
                found.messages.push_back({mmc.messageId, mmc.versionId, mmc.expiryTime});
                ids.insert(mmc.messageId);
                earliest = std::min<std::int64_t>(earliest, mmc.expiryTime);
                latest = std::max<std::int64_t>(latest, mmc.expiryTime);
            }
        });
        ASSERT_FALSE(found.counts.empty());

        // Before any message expires the store holds one entry per message id, and the
        // carousel's second round changes nothing; at the last expiry time nothing is left.
        broadcast::ContentBudget budget(std::size_t{64} << 20, std::size_t{64} << 20);
        TpegMessageStore store(budget);
        std::size_t changes[2] = {};
        for (std::size_t& roundChanges : changes) {
            ForEachApplicationFrame(bytes, [&](std::span<const std::uint8_t> data) {
                for (const auto& m : broadcast::ParseTpegMessages(data).messages) {
                    roundChanges += TpegMessageStore::Changes(store.Apply(m, earliest - 1)) ? 1 : 0;
                }
            });
        }
        EXPECT_EQ(store.Count(), ids.size());
        EXPECT_GE(changes[0], ids.size());
        EXPECT_EQ(changes[1], 0u);
        EXPECT_EQ(store.Expire(earliest - 1), 0u);
        EXPECT_EQ(store.Expire(latest), ids.size());

        const auto analysis = file.path().parent_path() / (file.path().stem().string() + ".txt");
        if (!std::filesystem::exists(analysis)) {
            continue;  // no analysis published for this stream: its structure was checked above
        }
        ++analysed;
        const Expected expected = ReadAnalysis(analysis);
        ASSERT_FALSE(expected.messages.empty());
        EXPECT_EQ(found.counts, expected.counts);
        EXPECT_EQ(found.messages, expected.messages);
    }
    EXPECT_GE(streams, 5u);
    EXPECT_GE(analysed, 4u);
}

}  // namespace
