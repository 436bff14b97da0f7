#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <thread>

#include "broadcast/eti.h"
#include "broadcast/msc_data_path.h"
#include "platform/clock.h"
#include "tests/support/device_plugin.h"
#include "tests/support/eti_recording.h"
#include "tests/support/time_scale.h"

namespace {

using namespace platform;
using testsupport::WaitUntil;

constexpr std::uint32_t kTpegA = 0xF1E00448;
constexpr std::uint32_t kTpegB = 0xF1E00445;
constexpr std::uint32_t kFrames = 12;

class Streaming : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_graph.Ready());
        m_framesA = testsupport::MakeEtiFrames(
            testsupport::ThreeServiceEnsemble(0xE0B8, kTpegA, 0, "8B"), kFrames);
        ASSERT_TRUE(testsupport::WriteEtiFrames(m_plugin.Broadcast() / "183008.eti", m_framesA));
        ASSERT_TRUE(testsupport::WriteEtiFrames(
            m_plugin.Broadcast() / "195008.eti",
            testsupport::MakeEtiFrames(testsupport::ThreeServiceEnsemble(0xE0AB, kTpegB, 3, "10B"),
                                       kFrames)));
        m_graph.Tune(183008, kTpegA, 3);
    }

    bool BlocksArrive(std::size_t more) {
        const std::size_t target = m_recorder.Count() + more;
        return WaitUntil([&] { return m_recorder.Count() >= target; });
    }

    // True when nothing arrives during 30 frame periods (and then some).
    bool Quiet() {
        const std::size_t count = m_recorder.Count();
        std::this_thread::sleep_for(30 * ScaledDuration(24) + std::chrono::milliseconds(20));
        return m_recorder.Count() == count;
    }

    testsupport::ScopedTimeScale m_scale{0.05};
    testsupport::DevicePlugin m_plugin;
    testsupport::BlockRecorder m_recorder;
    testsupport::ReceiverGraph m_graph{m_plugin};
    std::vector<std::vector<std::uint8_t>> m_framesA;
};

TEST_F(Streaming, DeliversTheSubChannelOfEachFrameInRealTimeAndLoops) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(2 * kFrames + 5));
    // Frame n is due n periods after the start, never earlier.
    EXPECT_GE(std::chrono::steady_clock::now() - start, (2 * kFrames + 4) * ScaledDuration(24));
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);

    const auto blocks = m_recorder.Blocks();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const auto parsed = broadcast::ParseEtiFrame(m_framesA[blocks[i].frameCounter % kFrames]);
        const broadcast::EtiStreamView* stream = parsed.frame.FindStream(3);
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(blocks[i].bytes, std::vector(stream->data.begin(), stream->data.end())) << i;
        // The FIC's description of the TPEG component travels with every block.
        EXPECT_EQ(blocks[i].subChannelId,
                  broadcast::PackMscDataWord(3, {true, 0x103, false, 0, 5}));
        EXPECT_EQ(blocks[i].frameCounter, blocks[0].frameCounter + i);
    }
}

TEST_F(Streaming, AFrameBringingTheEnsemblesTimeIsPrecededByATimeBlock) {
    // 2021-05-04 08:00:00 UTC in frame 0, and 1.008 s later in frame 42.
    constexpr std::uint32_t kTimedFrames = 50;
    ASSERT_TRUE(testsupport::WriteEtiFrames(
        m_plugin.Broadcast() / "183008.eti",
        testsupport::MakeEtiFrames(testsupport::ThreeServiceEnsemble(0xE0B8, kTpegA, 0, "8B"),
                                   kTimedFrames, 1620115200000)));
    m_graph.Tune(183008, kTpegA, 3);
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(kTimedFrames + 3));
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);

    const auto blocks = m_recorder.Blocks();
    std::map<std::uintptr_t, std::int64_t> times;  // frame of the recording, UTC seconds
    std::size_t timeBlocks = 0;
    for (std::size_t i = 0; i + 1 < blocks.size(); ++i) {
        if (!broadcast::IsTimeBlock(blocks[i].subChannelId)) {
            continue;
        }
        ++timeBlocks;
        EXPECT_EQ(blocks[i].subChannelId, broadcast::TimeBlockWord(3));
        ASSERT_EQ(blocks[i].bytes.size(), 8u);
        // The frame's own block follows, with the same frame counter.
        EXPECT_FALSE(broadcast::IsTimeBlock(blocks[i + 1].subChannelId));
        EXPECT_EQ(blocks[i + 1].frameCounter, blocks[i].frameCounter);
        times[blocks[i].frameCounter % kTimedFrames] =
            broadcast::DecodeTimeBlock(blocks[i].bytes.data());
    }
    EXPECT_GE(timeBlocks, 2u);
    const std::map<std::uintptr_t, std::int64_t> expected{{0, 1620115200}, {42, 1620115201}};
    EXPECT_EQ(times, expected);
}

TEST_F(Streaming, NothingIsDeliveredAfterPauseOrStopReturns) {
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(5));
    ASSERT_EQ(m_graph.Control().Pause(), S_OK);
    EXPECT_TRUE(Quiet());
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(5));
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);
    EXPECT_TRUE(Quiet());
}

TEST_F(Streaming, RetuningWhileRunningSwitchesAtTheNextFrame) {
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(3));
    m_graph.Tune(183008, 0xE0B9, 1);
    const auto lastSubChannel = [&] {
        return broadcast::SubChannelOf(m_recorder.Blocks().back().subChannelId);
    };
    ASSERT_TRUE(WaitUntil([&] { return lastSubChannel() == 1; }));
    m_graph.Tune(195008, kTpegB, 6);
    ASSERT_TRUE(WaitUntil([&] { return lastSubChannel() == 6; }));
    m_graph.Tune(183008, kTpegB, 6);
    EXPECT_TRUE(WaitUntil([&] { return Quiet(); }));  // after the frame under way, nothing
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);

    const auto blocks = m_recorder.Blocks();
    std::size_t switches = 0;
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        switches += blocks[i].subChannelId != blocks[i - 1].subChannelId;
        EXPECT_GT(blocks[i].frameCounter, blocks[i - 1].frameCounter);
    }
    EXPECT_EQ(switches, 2u);
    // The new ensemble plays from its first frame, and only its FIC describes the component.
    const auto firstOfB = std::find_if(blocks.begin(), blocks.end(), [](const auto& b) {
        return broadcast::SubChannelOf(b.subChannelId) == 6;
    });
    EXPECT_EQ(firstOfB->bytes.front(), testsupport::PatternByte(0, 6, 0));
    EXPECT_EQ(broadcast::UnpackMscDataWord(firstOfB->subChannelId).address, 0x106);
    const auto audio = std::find_if(blocks.begin(), blocks.end(), [](const auto& b) {
        return broadcast::SubChannelOf(b.subChannelId) == 1;
    });
    EXPECT_EQ(audio->subChannelId, 1u) << "no packet-mode component to describe";
}

TEST_F(Streaming, TheComponentFollowsAReconfigurationOfTheFic) {
    // Half way through the recording the TPEG component moves to packet address 0x201, loses
    // its data groups and gains packet-mode FEC.
    auto moved = testsupport::ThreeServiceEnsemble(0xE0B8, kTpegA, 0, "8B");
    moved.services[2].packetAddress = 0x201;
    moved.services[2].dataGroups = false;
    moved.subChannels[2].fecScheme = 1;
    const auto after = testsupport::MakeEtiFrames(moved, kFrames);
    std::copy(after.begin() + kFrames / 2, after.end(), m_framesA.begin() + kFrames / 2);
    ASSERT_TRUE(testsupport::WriteEtiFrames(m_plugin.Broadcast() / "183008.eti", m_framesA));
    m_graph.Tune(183008, kTpegA, 3);

    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(3 * kFrames));
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);
    const auto before = broadcast::PackMscDataWord(3, {true, 0x103, false, 0, 5});
    const auto changed = broadcast::PackMscDataWord(3, {true, 0x201, true, 1, 5});
    for (const auto& block : m_recorder.Blocks()) {
        // A frame's FIC holds only part of the description: allow a few frames for the change
        // to arrive.
        const auto frame = block.frameCounter % kFrames;
        if (frame < kFrames / 2) {
            EXPECT_EQ(block.subChannelId, before) << block.frameCounter;
        } else if (frame >= kFrames / 2 + 3) {
            EXPECT_EQ(block.subChannelId, changed) << block.frameCounter;
        }
    }
}

TEST_F(Streaming, SignalOffStopsReceptionUntilItIsGone) {
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(3));
    EXPECT_EQ(m_graph.Signal()[0], 1u);

    const std::string signalOff = m_plugin.Broadcast() / "SIGNAL_OFF";
    ASSERT_TRUE(testsupport::WriteBytes(signalOff, {}));
    EXPECT_EQ(m_graph.Signal()[0], 0u);
    // Frames the player had already read may still arrive, however late the
    // machine lets them; after them, nothing.
    EXPECT_TRUE(WaitUntil([&] { return Quiet(); }));

    ASSERT_EQ(std::remove(signalOff.c_str()), 0);
    ASSERT_TRUE(BlocksArrive(3));
    EXPECT_TRUE(WaitUntil([&] { return m_graph.Signal()[0] == 1u; }));
}

}  // namespace
