#include <gtest/gtest.h>

#include <cstdio>

#include "devices/lock_time.h"
#include "platform/clock.h"
#include "tests/support/device_plugin.h"
#include "tests/support/eti_recording.h"
#include "tests/support/time_scale.h"

namespace {

using namespace platform;

constexpr std::uint32_t kTpegSid = 0xF1E00448;

class TunerTuning : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_graph.Ready());
        Record(183008);
    }

    void Record(std::int32_t frequency) {
        ASSERT_TRUE(testsupport::WriteEtiFrames(
            m_plugin.Broadcast() / (std::to_string(frequency) + ".eti"),
            testsupport::MakeEtiFrames(testsupport::ThreeServiceEnsemble(0xE0B8, kTpegSid, 0, "8B"),
                                       6)));
    }

    // Frequency, service id and sub-channel as read back.
    std::array<std::intptr_t, 3> ReadBack() {
        TunerParam frequency{};
        TunerParam service{};
        EXPECT_EQ(m_graph.Tuner().GetParam(kTunerGetFrequency, &frequency), S_OK);
        EXPECT_EQ(m_graph.Tuner().GetParam(kTunerGetService, &service), S_OK);
        return {frequency.word[1], service.word[1], service.word[2]};
    }

    testsupport::ScopedEnv m_noLockTime{devices::kTunerLockVariable, "0"};
    testsupport::DevicePlugin m_plugin;
    testsupport::ReceiverGraph m_graph{m_plugin};
};

using Words = std::array<std::intptr_t, 3>;

TEST_F(TunerTuning, ListedServiceReadsBackAsSetAndMismatchesDiffer) {
    m_graph.Tune(183008, kTpegSid, 3);
    // The service compares ids as signed 32-bit words.
    EXPECT_EQ(ReadBack(), (Words{183008, static_cast<std::int32_t>(kTpegSid), 3}));
    m_graph.Tune(183008, 0xE0B9, 1);
    EXPECT_EQ(ReadBack(), (Words{183008, 0xE0B9, 1}));

    m_graph.Tune(195008, kTpegSid, 3);
    EXPECT_EQ(ReadBack(), (Words{0, 0, 0}));
    m_graph.Tune(183008, 0xF1E00445, 6);
    EXPECT_EQ(ReadBack(), (Words{183008, 0, 0}));
    m_graph.Tune(183008, kTpegSid, 5);
    EXPECT_EQ(ReadBack()[2], 3);
}

TEST_F(TunerTuning, LooksAtTheFolderAfreshAtEveryTune) {
    Record(195008);
    m_graph.Tune(195008, kTpegSid, 3);
    EXPECT_EQ(ReadBack()[0], 195008);
    ASSERT_EQ(std::remove((m_plugin.Broadcast() / "195008.eti").c_str()), 0);
    m_graph.Tune(195008, kTpegSid, 3);
    EXPECT_EQ(ReadBack()[0], 0);
}

TEST_F(TunerTuning, SignalNeedsARecordingAndNoSignalOffFile) {
    EXPECT_EQ(m_graph.Signal()[0], 0u);
    m_graph.Tune(183008, kTpegSid, 3);
    EXPECT_EQ(m_graph.Signal()[0], 1u);
    ASSERT_TRUE(testsupport::WriteBytes(m_plugin.Broadcast() / "SIGNAL_OFF", {}));
    EXPECT_EQ(m_graph.Signal()[0], 0u);
    ASSERT_EQ(std::remove((m_plugin.Broadcast() / "SIGNAL_OFF").c_str()), 0);
    EXPECT_EQ(m_graph.Signal()[0], 1u);
    m_graph.Tune(195008, kTpegSid, 3);
    EXPECT_EQ(m_graph.Signal()[0], 0u);
}

// Lower bounds only: a scaled sleep never ends early, but may end late.
TEST_F(TunerTuning, FrequencyTunesAndScanStepsTakeTheScaledLockTime) {
    testsupport::ScopedTimeScale scale(0.1);
    testsupport::ScopedEnv lockTime(devices::kTunerLockVariable, "300");
    TunerParam record{0, 183008, 0, 0};
    auto start = Clock::now();
    EXPECT_EQ(m_graph.Tuner().SetParam(kTunerSetFrequency, &record, 0), S_OK);
    EXPECT_GE(Clock::now() - start, ScaledDuration(300));
    EXPECT_EQ(ReadBack()[0], 183008);

    // A frequency without a recording takes it as well.
    std::uint8_t entries[10 * 44] = {};
    record = {0, kScanStep, 10, reinterpret_cast<std::intptr_t>(entries)};
    start = Clock::now();
    EXPECT_EQ(m_graph.Tuner().GetParam(kTunerScan, &record), S_OK);
    EXPECT_GE(Clock::now() - start, ScaledDuration(300));
    EXPECT_EQ(record.word[1], 0);
}

TEST(TunerLockTime, DecimalMillisecondsUpToTenSecondsElseTheDefault) {
    EXPECT_EQ(devices::ParseLockTime("0"), 0u);
    EXPECT_EQ(devices::ParseLockTime("10000"), 10000u);
    for (const char* bad : {"", "-1", "+5", "10001", "4294967296", "1.5", " 5", "5ms"}) {
        EXPECT_FALSE(devices::ParseLockTime(bad)) << bad;
    }
    testsupport::ScopedEnv lockTime(devices::kTunerLockVariable, "fast");
    EXPECT_EQ(devices::TunerLockMs(), devices::kDefaultLockMs);
}

}  // namespace
