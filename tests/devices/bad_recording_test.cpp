#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <thread>

#include "platform/log.h"
#include "platform/text.h"
#include "tests/support/device_plugin.h"
#include "tests/support/eti_recording.h"
#include "tests/support/log_capture.h"
#include "tests/support/time_scale.h"

using testsupport::CapturingLogSink;

namespace {

using namespace platform;
using testsupport::PatternByte;
using testsupport::WaitUntil;

constexpr std::uint32_t kTpeg = 0xF1E00448;

class BadRecording : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(m_graph.Ready()); }

    // Tunes to the recording as it is now and runs the graph.
    void Start() {
        m_graph.Tune(183008, kTpeg, 3);
        ASSERT_EQ(m_graph.Control().Run(), S_OK);
    }

    void Write(const std::vector<std::vector<std::uint8_t>>& frames, std::size_t cut = 0) {
        std::vector<std::uint8_t> bytes;
        for (const auto& frame : frames) {
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        bytes.resize(bytes.size() - cut);
        ASSERT_TRUE(testsupport::WriteBytes(m_path, bytes));
    }

    std::size_t LogLines(const std::string& text) const {
        std::size_t count = 0;
        for (const auto& line : m_log.Lines()) {
            count += ToUtf8(line).find(text) != std::string::npos;
        }
        return count;
    }

    testsupport::ScopedTimeScale m_scale{0.05};
    CapturingLogSink m_log;
    ScopedLogSink m_logGuard{m_log};
    testsupport::DevicePlugin m_plugin;
    testsupport::BlockRecorder m_recorder;
    testsupport::ReceiverGraph m_graph{m_plugin};
    const std::string m_path = m_plugin.Broadcast() / "183008.eti";
    std::vector<std::vector<std::uint8_t>> m_frames =
        testsupport::MakeEtiFrames(testsupport::ThreeServiceEnsemble(0xE0B8, kTpeg, 0, "8B"), 10);
};

TEST_F(BadRecording, GarbageIsLostFramesWithoutSignalAndOneLogLine) {
    std::vector<std::uint8_t> garbage(50000);
    std::mt19937 random(7);
    std::generate(garbage.begin(), garbage.end(), [&] { return random() & 0xFF; });
    ASSERT_TRUE(testsupport::WriteBytes(m_path, garbage));
    m_graph.Tune(183008, kTpeg, 3);
    EXPECT_EQ(m_graph.Signal()[0], 0u);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_graph.Signal()[2] >= 40; }));
    EXPECT_EQ(m_graph.Signal()[0], 0u);
    EXPECT_EQ(m_graph.Signal()[1], 0u);
    EXPECT_EQ(m_recorder.Count(), 0u);
    EXPECT_EQ(LogLines("183008.eti is not a readable ETI recording"), 1u) << m_log.Text();
}

TEST_F(BadRecording, CorruptFramesAreSkippedCountedAndLoggedOncePerKind) {
    m_frames[4][500] ^= 0xFF;  // in the MST: frame CRC
    m_frames[7][1] ^= 0xFF;    // FSYNC
    Write(m_frames);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_graph.Signal()[2] >= 6; }));  // three passes
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);

    EXPECT_GE(m_graph.Signal()[1], 16u);
    const auto blocks = m_recorder.Blocks();
    ASSERT_FALSE(blocks.empty());
    for (const auto& block : blocks) {
        // Every frame period plays one frame of the file, good or bad.
        const auto frame = static_cast<std::uint32_t>(block.frameCounter % 10);
        EXPECT_TRUE(frame != 4 && frame != 7) << frame;
        EXPECT_EQ(block.bytes.front(), PatternByte(frame, 3, 0));
    }
    EXPECT_EQ(LogLines("frames skipped (ETI frame CRC mismatch)"), 1u) << m_log.Text();
    EXPECT_EQ(LogLines("frames skipped"), 2u) << m_log.Text();
}

TEST_F(BadRecording, TruncatedFilePlaysItsWholeFramesAndLoops) {
    Write(m_frames, 3000);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Count() >= 25; }));
    EXPECT_EQ(m_graph.Signal()[0], 1u);
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);
    const auto blocks = m_recorder.Blocks();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].bytes.front(), PatternByte(i % 9, 3, 0)) << i;
    }
}

TEST_F(BadRecording, FolderThatDisappearsAndComesBackRewritten) {
    Write(m_frames);
    Start();
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Count() >= 3; }));

    const std::string folder = m_plugin.Broadcast().Path();
    const std::string away = m_plugin.Root() / "away";
    ASSERT_EQ(std::rename(folder.c_str(), away.c_str()), 0);
    EXPECT_EQ(m_graph.Signal()[0], 0u);
    ASSERT_TRUE(WaitUntil([&] { return LogLines("183008.eti is gone") == 1; }));
    const std::size_t before = m_recorder.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(m_recorder.Count(), before);

    ASSERT_TRUE(testsupport::WriteEtiFrames(
        away + "/183008.eti",
        testsupport::MakeEtiFrames(testsupport::ThreeServiceEnsemble(0xE0B8, kTpeg, 0, "8B"), 3)));
    ASSERT_EQ(std::rename(away.c_str(), folder.c_str()), 0);
    ASSERT_TRUE(WaitUntil([&] { return m_recorder.Count() >= before + 7; }));
    EXPECT_TRUE(WaitUntil([&] { return m_graph.Signal()[0] == 1u; }));
    ASSERT_EQ(m_graph.Control().Stop(), S_OK);
    const auto blocks = m_recorder.Blocks();
    EXPECT_EQ(blocks[before].bytes.front(), PatternByte(0, 3, 0));
    EXPECT_EQ(blocks[before + 3].bytes.front(), PatternByte(0, 3, 0));
    EXPECT_EQ(LogLines("183008.eti is gone"), 1u) << m_log.Text();
}

}  // namespace
