#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "broadcast/tpeg_application.h"
#include "broadcast/tpeg_message.h"
#include "broadcast/tpeg_message_store.h"
#include "tests/support/decoder_harness.h"
#include "tests/support/msc_stream.h"
#include "tests/support/time_scale.h"

namespace {

using testsupport::Bytes;
using testsupport::DecoderHarness;
using testsupport::MessageFile;
using testsupport::MessageFrames;
using testsupport::MscStream;

constexpr std::size_t kNws = 3;
constexpr std::size_t kRtm = 4;
constexpr std::size_t kPoiOps = 8;
constexpr std::size_t kPoiOps2 = 9;

const broadcast::TpegApplication& App(std::size_t index) {
    return broadcast::TpegApplications()[index];
}

Bytes ContentFor(std::size_t app, int revision, std::size_t size = 450) {
    Bytes content(size);
    for (std::size_t i = 0; i < size; ++i) {
        content[i] =
            static_cast<std::uint8_t>(app * 41 + static_cast<std::size_t>(revision) * 7 + i);
    }
    return content;
}

// A frame of one TPEG2 message (id 1) on scid, expiring a day after the system clock.
Bytes MessageFrame(std::uint8_t scid, std::uint8_t version) {
    broadcast::MessageManagement mmc;
    mmc.messageId = 1;
    mmc.versionId = version;
    mmc.expiryTime =
        static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count() +
                                   86400);
    Bytes data{1};
    broadcast::AppendTpegMessage(0, mmc, ContentFor(scid, version, 30), data);
    return testsupport::TransportFrame(scid, data);
}

// The SNI of a service with one component, SCID 9, of application aid.
Bytes SniOf(std::uint16_t aid) {
    broadcast::SniTable sni;
    sni.version = 1;
    sni.entries.push_back({9, 0, 0, aid});
    Bytes data;
    broadcast::AppendSni(sni, data);
    return testsupport::TransportFrame(broadcast::kSniScid, data);
}

class FileDelivery : public ::testing::Test {
  protected:
    // The SNI, then one set of `app` sent `repeats` times.
    static std::vector<Bytes> Blocks(std::size_t app, std::uint8_t version, const Bytes& content,
                                     int repeats = 1) {
        MscStream stream;
        stream.Add(testsupport::SniFrame());
        for (int i = 0; i < repeats; ++i) {
            stream.AddAll(MessageFrames(app, version, content));
        }
        return stream.Blocks();
    }

    DecoderHarness m_harness;
};

TEST_F(FileDelivery, EveryApplicationsFileAppearsOnceInCompletionOrderWithItsEventCode) {
    ASSERT_TRUE(m_harness.InitAndStart());
    MscStream stream;
    stream.Add(testsupport::SniFrame());
    // Arrival order differs from table order, and the carousel goes round twice.
    const std::vector<std::size_t> order{4, 0, 9, 2, 7, 1, 8, 3, 6, 5};
    for (int round = 0; round < 2; ++round) {
        for (std::size_t app : order) {
            stream.AddAll(MessageFrames(app, 1, ContentFor(app, 0)));
        }
    }
    m_harness.Feed(stream.Blocks());
    ASSERT_TRUE(m_harness.WaitForEvents(order.size()));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());

    const auto events = m_harness.Events();
    ASSERT_EQ(events.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        SCOPED_TRACE(App(order[i]).name);
        EXPECT_EQ(events[i].window, DecoderHarness::kWindow);
        EXPECT_EQ(events[i].code, App(order[i]).eventCode);
        const Bytes file = MessageFile(order[i], 1, ContentFor(order[i], 0));
        EXPECT_EQ(events[i].file, file) << "file complete before its event";
        EXPECT_EQ(events[i].folder, u"\\TPEGDATA");
        EXPECT_EQ(m_harness.ReadFile(App(order[i]).fileName), file);
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_NE(events[i].parameter, events[j].parameter);
        }
    }
    EXPECT_EQ(m_harness.FileCount(), order.size()) << "no temporaries left behind";
    const TpegCounters counters = DecoderHarness::Tpeg();
    EXPECT_EQ(counters.contentChanges, order.size()) << "a repetition changes nothing";
    EXPECT_EQ(counters.filesWritten, order.size());
    EXPECT_EQ(counters.acknowledgements, order.size());
}

TEST_F(FileDelivery, OnlyNewerVersionsAreWrittenAgain) {
    ASSERT_TRUE(m_harness.InitAndStart());
    MscStream stream;
    stream.Add(testsupport::SniFrame());
    stream.AddAll(MessageFrames(kRtm, 1, ContentFor(kRtm, 1)));
    stream.AddAll(MessageFrames(kRtm, 1, ContentFor(kRtm, 1)));
    // A newer version counts even with the same body; an older one is a stale copy.
    stream.AddAll(MessageFrames(kRtm, 2, ContentFor(kRtm, 1)));
    stream.AddAll(MessageFrames(kRtm, 1, ContentFor(kRtm, 2)));
    stream.AddAll(MessageFrames(kRtm, 3, ContentFor(kRtm, 2)));
    m_harness.Feed(stream.Blocks());
    ASSERT_TRUE(m_harness.WaitForEvents(3));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());

    const auto events = m_harness.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].file, MessageFile(kRtm, 1, ContentFor(kRtm, 1)));
    EXPECT_EQ(events[1].file, MessageFile(kRtm, 2, ContentFor(kRtm, 1)));
    EXPECT_EQ(events[2].file, MessageFile(kRtm, 3, ContentFor(kRtm, 2)));
    EXPECT_EQ(DecoderHarness::Tpeg().filesWritten, 3u);
}

TEST_F(FileDelivery, NoFileIsRewrittenBeforeItsEventIsAcknowledged) {
    m_harness.SetAcknowledge(false);
    ASSERT_TRUE(m_harness.InitAndStart());
    m_harness.Feed(Blocks(kRtm, 1, ContentFor(kRtm, 1)));
    ASSERT_TRUE(m_harness.WaitForEvents(1));
    const auto first = m_harness.Events()[0];

    // Two newer sets complete while the event waits: only the newest may follow it.
    m_harness.Feed(Blocks(kRtm, 2, ContentFor(kRtm, 2)));
    m_harness.Feed(Blocks(kRtm, 3, ContentFor(kRtm, 3)));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());
    EXPECT_EQ(m_harness.Events().size(), 1u);
    EXPECT_EQ(m_harness.ReadFile(App(kRtm).fileName), MessageFile(kRtm, 1, ContentFor(kRtm, 1)));
    EXPECT_EQ(DecoderHarness::Tpeg().supersededChanges, 1u);

    EXPECT_NE(TTBEventComplete(first.parameter + 1, first.code), 0) << "wrong parameter";
    EXPECT_NE(TTBEventComplete(first.parameter, first.code + 1), 0) << "wrong code";
    EXPECT_EQ(TTBEventComplete(first.parameter, first.code), 0);
    ASSERT_TRUE(m_harness.WaitForEvents(2));
    EXPECT_EQ(m_harness.Events()[1].file, MessageFile(kRtm, 3, ContentFor(kRtm, 3)));
    EXPECT_NE(TTBEventComplete(first.parameter, first.code), 0) << "acknowledged twice";
}

TEST_F(FileDelivery, StopReturnsPromptlyWhileAnEventWaitsForItsAcknowledgement) {
    m_harness.SetAcknowledge(false);
    ASSERT_TRUE(m_harness.InitAndStart());
    m_harness.Feed(Blocks(kRtm, 1, ContentFor(kRtm, 1)));
    ASSERT_TRUE(m_harness.WaitForEvents(1));

    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(StopTpegDecoder(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    // A thread still alive would make a new start fail.
    EXPECT_EQ(StartTpegDecoder(), 0);
}

TEST_F(FileDelivery, SelectionMaskAndPoiOpsFlagChooseTheFiles) {
    constexpr std::uint32_t kMask = (1u << kRtm) | (1u << kPoiOps) | (1u << kPoiOps2);
    MscStream stream;
    stream.Add(testsupport::SniFrame());
    for (std::size_t app = 0; app < broadcast::kTpegApplicationCount; ++app) {
        stream.AddAll(MessageFrames(app, 1, ContentFor(app, 0)));
    }
    const auto blocks = stream.Blocks();

    ASSERT_TRUE(m_harness.Init(DecoderHarness::kServiceConfig, kMask, 0));
    ASSERT_TRUE(m_harness.Start());
    m_harness.Feed(blocks);
    ASSERT_TRUE(m_harness.WaitForEvents(1));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());
    EXPECT_EQ(m_harness.Codes(), std::vector<std::uint32_t>{App(kRtm).eventCode});
    EXPECT_EQ(DecoderHarness::Tpeg().unselectedChanges, broadcast::kTpegApplicationCount - 1);

    // The messages already held are written once the flag selects them, with no change on air.
    EXPECT_EQ(SetPoiOpsFlag(1), 0);
    m_harness.Feed(blocks);
    ASSERT_TRUE(m_harness.WaitForEvents(3));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());
    EXPECT_EQ(m_harness.Codes(),
              (std::vector<std::uint32_t>{App(kRtm).eventCode, App(kPoiOps).eventCode,
                                          App(kPoiOps2).eventCode}));
}

TEST_F(FileDelivery, MessagesBeyondTheApplicationBoundAreRefusedAndCounted) {
    // RTM unselected: its messages are kept and bounded all the same, and the test does not
    // spend its time writing a file of up to 1 MiB for every message.
    constexpr std::uint32_t kAllButRtm =
        ((1u << broadcast::kTpegApplicationCount) - 1) & ~(1u << kRtm);
    ASSERT_TRUE(m_harness.Init(DecoderHarness::kServiceConfig, kAllButRtm, 0));
    ASSERT_TRUE(m_harness.Start());
    MscStream sni;
    sni.Add(testsupport::SniFrame());
    m_harness.Feed(sni.Blocks());
    // 1.1 MB in messages of 7000 bytes, fed a queue's worth at a time.
    const Bytes big = ContentFor(kRtm, 1, 1100000);
    const auto frames = MessageFrames(kRtm, 1, big, 7000);
    for (std::size_t at = 0; at < frames.size(); at += 16) {
        MscStream part;
        part.AddAll(
            {frames.begin() + static_cast<std::ptrdiff_t>(at),
             frames.begin() + static_cast<std::ptrdiff_t>(std::min(at + 16, frames.size()))});
        m_harness.Feed(part.Blocks());
        ASSERT_TRUE(DecoderHarness::WaitForIdle());
        EXPECT_LE(DecoderHarness::Tpeg().heldContentBytes, std::size_t{1} << 20);
    }
    EXPECT_EQ(DecoderHarness::Tdc().queueDrops, 0u);
    const TpegCounters counters = DecoderHarness::Tpeg();
    EXPECT_GT(counters.refusedMessages, 0u);
    EXPECT_EQ(counters.messageChanges + counters.refusedMessages, frames.size())
        << "the rest is kept";
}

TEST_F(FileDelivery, DataFolderIsCreatedBelowTheDeviceRoot) {
    EXPECT_NE(SetTransferDataPath(u"\\TPEGDATA"), 0) << "before InitTpegLibrary";
    ASSERT_EQ(InitTpegLibrary(DecoderHarness::kWindow), 0);
    EXPECT_EQ(GetTransferDataPath(), nullptr);
    EXPECT_NE(StartTpegDecoder(), 0) << "no folder, no queue";
    EXPECT_NE(SetTransferDataPath(nullptr), 0);
    EXPECT_NE(SetTransferDataPath(u"\\..\\outside"), 0);
    ASSERT_EQ(SetTransferDataPath(u"\\TPEGDATA"), 0);
    EXPECT_TRUE(std::filesystem::is_directory(m_harness.DataFolder()));
    EXPECT_EQ(SetTransferDataPath(u"\\TPEGDATA"), 0) << "an existing folder is fine";
    ASSERT_NE(GetTransferDataPath(), nullptr);
    EXPECT_EQ(std::u16string(GetTransferDataPath()), u"\\TPEGDATA");
    EXPECT_NE(SetTDCQueue(0), 0);
}

// TPEG2 messages as other encoders send them: the file holds the current messages, written
// once per change and never for a repetition of the carousel.
TEST_F(FileDelivery, Tpeg2MessagesAreWrittenOncePerChange) {
    ASSERT_TRUE(m_harness.InitAndStart());
    // Expiry a day after the system clock, which the library judges it against.
    const auto expiry =
        static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count() +
                                   86400);
    const auto frame = [&](std::uint8_t version) {
        Bytes data{2};
        for (std::uint32_t id : {7u, 3u}) {
            broadcast::MessageManagement mmc;
            mmc.messageId = id;
            mmc.versionId = id == 7 ? version : 1;
            mmc.expiryTime = expiry;
            broadcast::AppendTpegMessage(0, mmc, ContentFor(kRtm, version, 30), data);
        }
        return testsupport::TransportFrame(static_cast<std::uint8_t>(kRtm + 1), data);
    };
    MscStream stream;
    stream.Add(testsupport::SniFrame());
    for (int round = 0; round < 3; ++round) {
        stream.Add(frame(1));
    }
    stream.Add(frame(2));
    stream.Add(frame(2));
    m_harness.Feed(stream.Blocks());
    ASSERT_TRUE(m_harness.WaitForEvents(2));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());
    ASSERT_EQ(m_harness.Events().size(), 2u);

    const Bytes file = m_harness.ReadFile(App(kRtm).fileName);
    const auto entries = broadcast::ReadMessageFile(file);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ((*entries)[0].messageId, 3u);
    EXPECT_EQ((*entries)[1].messageId, 7u);
    EXPECT_EQ((*entries)[1].versionId, 2);
    EXPECT_EQ((*entries)[1].expiryTime, expiry);
    EXPECT_EQ(DecoderHarness::Tpeg().filesWritten, 2u);
}

TEST_F(FileDelivery, RegisteredAidsFillTheirFilesAndTheRegistryMovesThem) {
    MscStream stream;
    stream.Add(SniOf(0x0005));
    stream.Add(MessageFrame(9, 1));
    const auto blocks = stream.Blocks();

    ASSERT_TRUE(m_harness.InitAndStart());
    m_harness.Feed(blocks);
    ASSERT_TRUE(m_harness.WaitForEvents(1));
    EXPECT_EQ(m_harness.Events()[0].code, App(kRtm).eventCode) << "TEC fills the RTM file";

    DecoderHarness::SetTpegSetting(decoders::kApplicationsKey, u"TPNWS.BIN", u"0x0005");
    ASSERT_TRUE(m_harness.InitAndStart());
    m_harness.Feed(blocks);
    ASSERT_TRUE(m_harness.WaitForEvents(2));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());
    EXPECT_EQ(m_harness.Codes(),
              (std::vector<std::uint32_t>{App(kRtm).eventCode, App(kNws).eventCode}));
}

TEST_F(FileDelivery, ChangesWithinTheWriteIntervalAreWrittenOnceItHasPassed) {
    // The interval of 6000 ms takes a second and a half: time enough to see nothing written
    // before it has passed, even on a loaded machine.
    testsupport::ScopedTimeScale fast(0.25);
    DecoderHarness::SetTpegSetting(decoders::kTpegSettingsKey, decoders::kWriteIntervalValue, 6000);
    ASSERT_TRUE(m_harness.InitAndStart());
    const auto feed = [&](std::initializer_list<std::uint8_t> versions) {
        MscStream stream;
        stream.Add(testsupport::SniFrame());
        for (const std::uint8_t version : versions) {
            stream.Add(MessageFrame(static_cast<std::uint8_t>(kRtm + 1), version));
        }
        m_harness.Feed(stream.Blocks());
    };
    const auto version = [&](std::size_t event) {
        const auto entries = broadcast::ReadMessageFile(m_harness.Events().at(event).file);
        return entries && entries->size() == 1 ? (*entries)[0].versionId : -1;
    };
    feed({1});
    ASSERT_TRUE(m_harness.WaitForEvents(1));

    // Two changes right after the write: nothing until the interval has passed, then the newer
    // once, with no bytes arriving meanwhile to wake the decoder.
    feed({2, 3});
    ASSERT_TRUE(DecoderHarness::WaitForIdle());
    EXPECT_EQ(m_harness.Events().size(), 1u);
    ASSERT_TRUE(m_harness.WaitForEvents(2));
    EXPECT_EQ(version(1), 3);

    platform::Sleep(6000);
    feed({4});
    ASSERT_TRUE(m_harness.WaitForEvents(3));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());
    EXPECT_EQ(version(2), 4);
    EXPECT_EQ(m_harness.Events().size(), 3u);
    EXPECT_EQ(DecoderHarness::Tpeg().filesWritten, 3u);
}

TEST_F(FileDelivery, AFileThatCouldNotBeWrittenIsTriedAgainWithoutAChangeOnAir) {
    testsupport::ScopedTimeScale fast(0.1);  // a try every 100 ms
    ASSERT_TRUE(m_harness.InitAndStart());
    // A folder in the file's place: the new file cannot be renamed onto it.
    const auto blocker = m_harness.DataFolder() / App(kRtm).fileName;
    std::filesystem::create_directory(blocker);
    m_harness.Feed(Blocks(kRtm, 1, ContentFor(kRtm, 1)));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());
    EXPECT_TRUE(m_harness.Events().empty());
    EXPECT_GE(DecoderHarness::Tpeg().writeFailures, 1u);

    std::filesystem::remove(blocker);
    ASSERT_TRUE(m_harness.WaitForEvents(1));
    EXPECT_EQ(m_harness.Events()[0].file, MessageFile(kRtm, 1, ContentFor(kRtm, 1)));
}

}  // namespace
