#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "broadcast/eti.h"
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

// Real time for `periods` frame periods at the tests' time scale, with room.
void WaitPeriods(int periods) {
    std::this_thread::sleep_for(std::chrono::microseconds(1200 * periods + 20000));
}

class Streaming : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_plugin.Registered());
        m_framesA = testsupport::MakeEtiFrames(
            testsupport::ThreeServiceEnsemble(0xE0B8, kTpegA, 0, "8B"), kFrames);
        ASSERT_TRUE(testsupport::WriteEtiFrames(m_plugin.Broadcast() / "183008.eti", m_framesA));
        ASSERT_TRUE(testsupport::WriteEtiFrames(
            m_plugin.Broadcast() / "195008.eti",
            testsupport::MakeEtiFrames(testsupport::ThreeServiceEnsemble(0xE0AB, kTpegB, 3, "10B"),
                                       kFrames)));
        ASSERT_TRUE(m_graph.Ready());
    }

    void Tune(std::int32_t frequency, std::uint32_t sid, std::int32_t subChannel) {
        TunerParam record{};
        record.word[1] = frequency;
        m_graph.Tuner().SetParam(kTunerSetFrequency, &record, 0);
        record.word[1] = static_cast<std::int32_t>(sid);
        record.word[2] = subChannel;
        m_graph.Tuner().SetParam(kTunerSetService, &record, 0);
    }

    bool SignalPresent() {
        std::uint8_t status[8] = {};
        TunerParam record{};
        record.word[3] = reinterpret_cast<std::intptr_t>(status);
        m_graph.Tuner().GetParam(kTunerGetSignal, &record);
        return record.word[1] != 0;
    }

    bool BlocksArrive(std::size_t more) {
        const std::size_t target = m_recorder.Count() + more;
        return WaitUntil([&] { return m_recorder.Count() >= target; });
    }

    testsupport::ScopedTimeScale m_scale{0.05};
    testsupport::DevicePlugin m_plugin;
    testsupport::BlockRecorder m_recorder;
    testsupport::ReceiverGraph m_graph{m_plugin};
    std::vector<std::vector<std::uint8_t>> m_framesA;
};

TEST_F(Streaming, DeliversTheSubChannelOfEachFrameInOrderAndLoops) {
    Tune(183008, kTpegA, 3);
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(2 * kFrames + 5));
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);

    const auto blocks = m_recorder.Blocks();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE(i);
        const auto parsed = broadcast::ParseEtiFrame(m_framesA[i % kFrames]);
        ASSERT_EQ(parsed.error, broadcast::EtiError::None);
        const broadcast::EtiStreamView* stream = parsed.frame.FindStream(3);
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(blocks[i].bytes,
                  std::vector<std::uint8_t>(stream->data.begin(), stream->data.end()));
        EXPECT_EQ(blocks[i].subChannelId, 3u);
        if (i > 0) {
            EXPECT_EQ(blocks[i].frameCounter, blocks[i - 1].frameCounter + 1);
        }
    }
}

TEST_F(Streaming, KeepsToOneFramePerPeriod) {
    Tune(183008, kTpegA, 3);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(50));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // Frame n is due n periods after the start, never earlier.
    EXPECT_GE(elapsed, 49 * ScaledDuration(24));
}

TEST_F(Streaming, NothingIsDeliveredAfterStopOrPauseReturns) {
    Tune(183008, kTpegA, 3);
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(5));
    ASSERT_EQ(m_graph.Control().Pause(), S_OK);
    std::size_t count = m_recorder.Count();
    WaitPeriods(30);
    EXPECT_EQ(m_recorder.Count(), count);

    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(5));
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);
    count = m_recorder.Count();
    WaitPeriods(30);
    EXPECT_EQ(m_recorder.Count(), count);
}

TEST_F(Streaming, RetuningWhileRunningSwitchesAtTheNextFrame) {
    Tune(183008, kTpegA, 3);
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(3));

    Tune(183008, 0xE0B9, 1);
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Blocks().back().subChannelId == 1; }));
    Tune(195008, kTpegB, 6);
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Blocks().back().subChannelId == 6; }));
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);

    const auto blocks = m_recorder.Blocks();
    std::size_t switches = 0;
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        switches += blocks[i].subChannelId != blocks[i - 1].subChannelId;
        // The frame counter goes on through a retune.
        EXPECT_GT(blocks[i].frameCounter, blocks[i - 1].frameCounter);
    }
    EXPECT_EQ(switches, 2u);
    // The new ensemble plays from its first frame.
    const auto firstOfB = std::find_if(blocks.begin(), blocks.end(),
                                       [](const auto& b) { return b.subChannelId == 6; });
    EXPECT_EQ(firstOfB->bytes.front(), testsupport::PatternByte(0, 6, 0));
}

TEST_F(Streaming, SignalOffStopsReceptionUntilItIsGone) {
    Tune(183008, kTpegA, 3);
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(BlocksArrive(3));
    EXPECT_TRUE(SignalPresent());

    const std::string signalOff = m_plugin.Broadcast() / "SIGNAL_OFF";
    ASSERT_TRUE(testsupport::WriteBytes(signalOff, {}));
    EXPECT_FALSE(SignalPresent());
    WaitPeriods(3);
    const std::size_t count = m_recorder.Count();
    WaitPeriods(30);
    EXPECT_EQ(m_recorder.Count(), count);
    EXPECT_FALSE(SignalPresent());

    ASSERT_EQ(std::remove(signalOff.c_str()), 0);
    ASSERT_TRUE(BlocksArrive(3));
    EXPECT_TRUE(WaitUntil([&] { return SignalPresent(); }));
}

TEST_F(Streaming, ServiceNotInTheEnsembleDeliversNothingButKeepsTheSignal) {
    Tune(183008, kTpegB, 6);
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    WaitPeriods(30);
    EXPECT_EQ(m_recorder.Count(), 0u);
    EXPECT_TRUE(SignalPresent());
}

}  // namespace
