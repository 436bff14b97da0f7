#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/device_plugin.h"
#include "tests/support/eti_recording.h"

namespace {

using namespace platform;
using testsupport::TunerCommand;

constexpr std::uint32_t kTpegSid = 0xF1E00448;

class TunerTuning : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_plugin.Registered());
        m_tuner = m_plugin.Create<ITdmbTunerControl>(CLSID_TdmbTuner);
        ASSERT_TRUE(m_tuner);
        Record(183008);
    }

    void Record(std::int32_t frequency) {
        ASSERT_TRUE(testsupport::WriteEtiFrames(
            m_plugin.Broadcast() / (std::to_string(frequency) + ".eti"),
            testsupport::MakeEtiFrames(testsupport::ThreeServiceEnsemble(0xE0B8, kTpegSid, 0, "8B"),
                                       6)));
    }

    // Tunes as the service does: the service id sign-extended into the word.
    void Tune(std::int32_t frequency, std::uint32_t sid, std::int32_t subChannel) {
        TunerParam record{};
        record.word[1] = frequency;
        ASSERT_EQ(m_tuner->SetParam(kTunerSetFrequency, &record, 0), S_OK);
        record = {};
        record.word[1] = static_cast<std::int32_t>(sid);
        record.word[2] = subChannel;
        ASSERT_EQ(m_tuner->SetParam(kTunerSetService, &record, 0), S_OK);
    }

    std::intptr_t Frequency() {
        TunerParam record{};
        EXPECT_EQ(TunerCommand(*m_tuner.Get(), kTunerGetFrequency, record), S_OK);
        return record.word[1];
    }

    std::pair<std::intptr_t, std::intptr_t> Service() {
        TunerParam record{};
        EXPECT_EQ(TunerCommand(*m_tuner.Get(), kTunerGetService, record), S_OK);
        return {record.word[1], record.word[2]};
    }

    bool SignalPresent() {
        std::uint8_t status[8] = {};
        TunerParam record{};
        record.word[3] = reinterpret_cast<std::intptr_t>(status);
        EXPECT_EQ(TunerCommand(*m_tuner.Get(), kTunerGetSignal, record), S_OK);
        return record.word[1] != 0;
    }

    testsupport::DevicePlugin m_plugin;
    ComPtr<ITdmbTunerControl> m_tuner;
};

TEST_F(TunerTuning, ListedServiceReadsBackAsSet) {
    Tune(183008, kTpegSid, 3);
    EXPECT_EQ(Frequency(), 183008);
    const auto [sid, subChannel] = Service();
    EXPECT_EQ(static_cast<std::uint32_t>(static_cast<std::int32_t>(sid)), kTpegSid);
    EXPECT_EQ(sid, static_cast<std::int32_t>(kTpegSid));
    EXPECT_EQ(subChannel, 3);

    Tune(183008, 0xE0B9, 1);
    EXPECT_EQ(Service(), std::make_pair(std::intptr_t{0xE0B9}, std::intptr_t{1}));
}

TEST_F(TunerTuning, MismatchesReadBackDifferentlyFromWhatWasSet) {
    Tune(195008, kTpegSid, 3);
    EXPECT_EQ(Frequency(), 0);
    EXPECT_EQ(Service(), std::make_pair(std::intptr_t{0}, std::intptr_t{0}));

    Tune(183008, 0xF1E00445, 6);
    EXPECT_EQ(Frequency(), 183008);
    EXPECT_EQ(Service(), std::make_pair(std::intptr_t{0}, std::intptr_t{0}));

    // A listed service on the wrong sub-channel reads back the FIC's.
    Tune(183008, kTpegSid, 5);
    EXPECT_EQ(Service().second, 3);
}

TEST_F(TunerTuning, LooksAtTheFolderAfreshAtEveryTune) {
    Tune(195008, kTpegSid, 3);
    EXPECT_EQ(Frequency(), 0);
    Record(195008);
    Tune(195008, kTpegSid, 3);
    EXPECT_EQ(Frequency(), 195008);
    ASSERT_EQ(std::remove((m_plugin.Broadcast() / "195008.eti").c_str()), 0);
    Tune(195008, kTpegSid, 3);
    EXPECT_EQ(Frequency(), 0);
}

TEST_F(TunerTuning, SignalNeedsARecordingAndNoSignalOffFile) {
    EXPECT_FALSE(SignalPresent());
    Tune(183008, kTpegSid, 3);
    EXPECT_TRUE(SignalPresent());
    ASSERT_TRUE(testsupport::WriteBytes(m_plugin.Broadcast() / "SIGNAL_OFF", {}));
    EXPECT_FALSE(SignalPresent());
    ASSERT_EQ(std::remove((m_plugin.Broadcast() / "SIGNAL_OFF").c_str()), 0);
    EXPECT_TRUE(SignalPresent());
    Tune(195008, kTpegSid, 3);
    EXPECT_FALSE(SignalPresent());
}

}  // namespace
