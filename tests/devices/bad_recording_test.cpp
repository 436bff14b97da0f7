#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <thread>

#include "platform/log.h"
#include "platform/text.h"
#include "tests/support/device_plugin.h"
#include "tests/support/eti_recording.h"
#include "tests/support/time_scale.h"

namespace {

using namespace platform;
using testsupport::WaitUntil;

constexpr std::uint32_t kTpeg = 0xF1E00448;

struct Status {
    bool present = false;
    std::uint32_t received = 0;
    std::uint32_t lost = 0;
};

std::size_t CountLines(const CapturingLogSink& log, const std::string& text) {
    std::size_t count = 0;
    for (const auto& line : log.Lines()) {
        count += ToUtf8(line).find(text) != std::string::npos;
    }
    return count;
}

class BadRecording : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_plugin.Registered());
        ASSERT_TRUE(m_graph.Ready());
        m_frames = testsupport::MakeEtiFrames(
            testsupport::ThreeServiceEnsemble(0xE0B8, kTpeg, 0, "8B"), 10);
    }

    std::string Path() const { return m_plugin.Broadcast() / "183008.eti"; }

    void Tune() {
        TunerParam record{};
        record.word[1] = 183008;
        m_graph.Tuner().SetParam(kTunerSetFrequency, &record, 0);
        record.word[1] = static_cast<std::int32_t>(kTpeg);
        record.word[2] = 3;
        m_graph.Tuner().SetParam(kTunerSetService, &record, 0);
    }

    Status Signal() {
        std::uint8_t buffer[8] = {};
        TunerParam record{};
        record.word[3] = reinterpret_cast<std::intptr_t>(buffer);
        m_graph.Tuner().GetParam(kTunerGetSignal, &record);
        auto le32 = [&](int at) {
            return static_cast<std::uint32_t>(buffer[at] | (buffer[at + 1] << 8) |
                                              (buffer[at + 2] << 16) |
                                              (std::uint32_t{buffer[at + 3]} << 24));
        };
        return {record.word[1] != 0, le32(0), le32(4)};
    }

    testsupport::ScopedTimeScale m_scale{0.05};
    CapturingLogSink m_log;
    ScopedLogSink m_logGuard{m_log};
    testsupport::DevicePlugin m_plugin;
    testsupport::BlockRecorder m_recorder;
    testsupport::ReceiverGraph m_graph{m_plugin};
    std::vector<std::vector<std::uint8_t>> m_frames;
};

TEST_F(BadRecording, GarbageIsCountedAsLostAndLoggedOnce) {
    std::vector<std::uint8_t> garbage(50000);
    std::mt19937 random(7);
    for (auto& byte : garbage) {
        byte = static_cast<std::uint8_t>(random());
    }
    ASSERT_TRUE(testsupport::WriteBytes(Path(), garbage));
    Tune();
    EXPECT_FALSE(Signal().present);
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return Signal().lost >= 40; }));
    const Status status = Signal();
    EXPECT_FALSE(status.present);
    EXPECT_EQ(status.received, 0u);
    EXPECT_EQ(m_recorder.Count(), 0u);
    EXPECT_EQ(CountLines(m_log, "183008.eti is not a readable ETI recording"), 1u) << m_log.Text();
}

TEST_F(BadRecording, CorruptFramesAreSkippedCountedAndLoggedOnce) {
    auto frames = m_frames;
    frames[4][500] ^= 0xFF;  // inside the MST: the frame CRC fails
    frames[7][1] ^= 0xFF;    // FSYNC
    ASSERT_TRUE(testsupport::WriteEtiFrames(Path(), frames));
    Tune();
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    // Three passes through the file.
    ASSERT_TRUE(WaitUntil([&] { return Signal().lost >= 6; }));
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);

    const Status status = Signal();
    EXPECT_GE(status.received, 16u);
    const auto blocks = m_recorder.Blocks();
    ASSERT_FALSE(blocks.empty());
    for (const auto& block : blocks) {
        const auto frame = static_cast<std::uint32_t>(block.frameCounter % 10);
        EXPECT_NE(frame, 4u);
        EXPECT_NE(frame, 7u);
        EXPECT_EQ(block.bytes.front(), testsupport::PatternByte(frame, 3, 0));
    }
    EXPECT_EQ(CountLines(m_log, "frames skipped (ETI frame CRC mismatch)"), 1u) << m_log.Text();
    EXPECT_EQ(CountLines(m_log, "frames skipped"), 2u) << m_log.Text();
}

TEST_F(BadRecording, TruncatedFilePlaysItsWholeFramesAndLoops) {
    auto bytes = std::vector<std::uint8_t>();
    for (const auto& frame : m_frames) {
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    bytes.resize(bytes.size() - 3000);
    ASSERT_TRUE(testsupport::WriteBytes(Path(), bytes));
    Tune();
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Count() >= 25; }));
    EXPECT_TRUE(Signal().present);
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);
    const auto blocks = m_recorder.Blocks();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].bytes.front(), testsupport::PatternByte(i % 9, 3, 0)) << i;
    }
}

TEST_F(BadRecording, RecordingThatDisappearsAndComesBack) {
    ASSERT_TRUE(testsupport::WriteEtiFrames(Path(), m_frames));
    Tune();
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Count() >= 3; }));

    ASSERT_EQ(std::remove(Path().c_str()), 0);
    EXPECT_FALSE(Signal().present);
    ASSERT_TRUE(WaitUntil([&] { return CountLines(m_log, "183008.eti is gone") == 1; }));

    // Back with other content: the new file plays from its start.
    auto other =
        testsupport::MakeEtiFrames(testsupport::ThreeServiceEnsemble(0xE0B8, kTpeg, 0, "8B"), 3);
    ASSERT_TRUE(testsupport::WriteEtiFrames(Path(), other));
    const std::size_t before = m_recorder.Count();
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Count() >= before + 7; }));
    EXPECT_TRUE(WaitUntil([&] { return Signal().present; }));
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);
    const auto blocks = m_recorder.Blocks();
    EXPECT_EQ(blocks[before].bytes.front(), testsupport::PatternByte(0, 3, 0));
    EXPECT_EQ(blocks[before + 3].bytes.front(), testsupport::PatternByte(0, 3, 0));
    EXPECT_EQ(CountLines(m_log, "183008.eti is gone"), 1u) << m_log.Text();
}

TEST_F(BadRecording, BroadcastFolderThatDisappearsAndComesBack) {
    ASSERT_TRUE(testsupport::WriteEtiFrames(Path(), m_frames));
    Tune();
    ASSERT_EQ(m_graph.Control().Run(), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Count() >= 3; }));

    const std::string folder = m_plugin.Broadcast().Path();
    const std::string away = m_plugin.Root() / "away";
    ASSERT_EQ(std::rename(folder.c_str(), away.c_str()), 0);
    EXPECT_FALSE(Signal().present);
    ASSERT_TRUE(WaitUntil([&] { return CountLines(m_log, "183008.eti is gone") == 1; }));
    const std::size_t count = m_recorder.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(m_recorder.Count(), count);

    ASSERT_EQ(std::rename(away.c_str(), folder.c_str()), 0);
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Count() >= count + 3; }));
    EXPECT_TRUE(Signal().present);
}

}  // namespace
