#include <gtest/gtest.h>

#include <cstring>

#include "devices/lock_time.h"
#include "tests/support/device_plugin.h"
#include "tests/support/eti_recording.h"

namespace {

using namespace platform;

#pragma pack(push, 1)
struct Entry {
    std::int32_t word0;
    std::int32_t frequency;
    std::uint32_t sid;
    char label[20];
    std::int32_t subChannel;
    std::int32_t type;
    std::int32_t word10;
};
#pragma pack(pop)
static_assert(sizeof(Entry) == 44);

class TunerScan : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_plugin.Registered());
        ASSERT_TRUE(m_tuner);
    }

    void Record(std::int32_t frequency, const broadcast::EnsembleDescription& ensemble) {
        ASSERT_TRUE(
            testsupport::WriteEtiFrames(m_plugin.Broadcast() / (std::to_string(frequency) + ".eti"),
                                        testsupport::MakeEtiFrames(ensemble, 8)));
    }

    HRESULT Command(std::int32_t command, TunerParam& record) {
        return m_tuner->GetParam(command, &record);
    }

    // The count the step reports; the entries it wrote land in m_entries.
    std::intptr_t Step(std::int32_t step) {
        std::fill(std::begin(m_entries), std::end(m_entries), Entry{-1, -1, 0, {}, -1, -1, -1});
        TunerParam record{0, kScanStep, step, reinterpret_cast<std::intptr_t>(m_entries)};
        EXPECT_EQ(Command(kTunerScan, record), S_OK);
        return record.word[1];
    }

    testsupport::ScopedEnv m_noLockTime{devices::kTunerLockVariable, "0"};
    testsupport::DevicePlugin m_plugin;
    ComPtr<ITdmbTunerControl> m_tuner = m_plugin.Create<ITdmbTunerControl>(CLSID_TdmbTuner);
    Entry m_entries[11] = {};
};

TEST_F(TunerScan, ReportsEachEnsembleOfTheRegionAsDescribed) {
    const auto a = testsupport::ThreeServiceEnsemble(0xE0B8, 0xF1E00448, 0, "8B");
    const auto b = testsupport::ThreeServiceEnsemble(0xE0AB, 0xF1E00445, 3, "10B");
    Record(183008, a);
    Record(195008, b);
    TunerParam record{};
    ASSERT_EQ(Command(kTunerGetScanSteps, record), S_OK);
    ASSERT_EQ(record.word[2], 21);
    constexpr std::int32_t kTypes[] = {2, 1, 3};  // audio, video, data

    for (std::int32_t step = 0; step < 21; ++step) {
        const auto* ensemble = step == 4 ? &a : step == 10 ? &b : nullptr;
        const std::int32_t frequency = step == 4 ? 183008 : 195008;
        ASSERT_EQ(Step(step), ensemble ? 3 : 0) << step;
        for (std::size_t i = 0; ensemble && i < 3; ++i) {
            const broadcast::Service& expected = ensemble->services[i];
            const Entry& entry = m_entries[i];
            EXPECT_EQ(entry.word0, ensemble->eid);
            EXPECT_EQ(entry.frequency, frequency);
            EXPECT_EQ(entry.sid, expected.sid);
            std::string label = expected.label;
            label.resize(20, '\0');
            EXPECT_EQ(std::string(entry.label, 20), label);
            EXPECT_EQ(entry.subChannel, expected.subChannelId);
            EXPECT_EQ(entry.type, kTypes[i]);
            EXPECT_EQ(entry.word10, expected.componentType);
        }
    }
    // 16-bit SIds are zero-extended.
    Step(4);
    EXPECT_EQ(m_entries[0].sid, 0x0000E0B9u);
}

TEST_F(TunerScan, ReportsTheRealCountButWritesAtMostTenEntries) {
    broadcast::EnsembleDescription e{0xE001, "Crowded", {}, {}};
    for (std::uint8_t id = 1; id <= 12; ++id) {
        e.subChannels.push_back(broadcast::EepSubChannel(id, (id - 1) * 12, 16, 3));
        e.services.push_back(testsupport::MakeService(0xC000 + id, "Radio " + std::to_string(id),
                                                      broadcast::ServiceKind::Audio, id));
    }
    Record(175280, e);
    EXPECT_EQ(Step(0), 12);
    EXPECT_EQ(m_entries[9].sid, 0xC00Au);
    EXPECT_EQ(m_entries[10].frequency, -1);
}

TEST_F(TunerScan, RegionsAndRefusals) {
    const std::int32_t regions[][3] = {{86, 0, 23}, {86, 1, 38}, {82, 0, 21}};
    for (const auto& region : regions) {
        TunerParam record{0, region[0], region[1], 0};
        EXPECT_EQ(m_tuner->SetParam(kTunerSetRegion, &record, 0), S_OK);
        EXPECT_EQ(Command(kTunerGetScanSteps, record), S_OK);
        EXPECT_EQ(record.word[2], region[2]);
    }
    TunerParam record{0, 82, 1, 0};
    EXPECT_EQ(m_tuner->SetParam(kTunerSetRegion, &record, 0), E_INVALIDARG);
    record = {0, 44, 0, 0};
    EXPECT_EQ(m_tuner->SetParam(kTunerSetRegion, &record, 0), E_INVALIDARG);
    for (std::int32_t command : {6, 9, -1}) {
        EXPECT_EQ(m_tuner->GetParam(command, &record), E_INVALIDARG) << command;
    }
    for (std::int32_t command : {0, 1, 2, 3, 4, 5, 7, 8}) {
        EXPECT_EQ(m_tuner->GetParam(command, nullptr), E_POINTER) << command;
        EXPECT_EQ(m_tuner->SetParam(command, nullptr, 0), E_POINTER) << command;
    }
    const auto buffer = reinterpret_cast<std::intptr_t>(m_entries);
    const std::array<TunerParam, 4> refused = {{{0, kScanStep, 21, buffer},
                                                {0, kScanStep, -1, buffer},
                                                {0, kScanStep, 0, 0},
                                                {0, 3, 0, buffer}}};
    const HRESULT expected[] = {E_INVALIDARG, E_INVALIDARG, E_POINTER, E_INVALIDARG};
    for (std::size_t i = 0; i < refused.size(); ++i) {
        record = refused[i];
        EXPECT_EQ(Command(kTunerScan, record), expected[i]) << i;
    }
}

TEST_F(TunerScan, TpegAsSecondaryComponentOfAProgrammeIsReportedAndTunable) {
    broadcast::EnsembleDescription e{0xE0C1, "Mixed", {}, {}};
    e.subChannels.push_back(broadcast::UepSubChannel(1, 0, 35));
    e.subChannels.push_back(broadcast::EepSubChannel(7, 96, 64, 3));
    e.services.push_back(
        testsupport::MakeService(0xE0C2, "Radio TPEG", broadcast::ServiceKind::Audio, 1));
    auto tpeg = testsupport::MakeService(0xE0C2, "Radio TPEG", broadcast::ServiceKind::Data, 7);
    tpeg.scids = 1;
    e.services.push_back(tpeg);
    Record(175280, e);

    ASSERT_EQ(Step(0), 2);
    EXPECT_EQ(m_entries[0].type, 2);
    EXPECT_EQ(m_entries[1].sid, 0xE0C2u);
    EXPECT_EQ(m_entries[1].subChannel, 7);
    EXPECT_EQ(m_entries[1].type, 3);
    EXPECT_EQ(m_entries[1].word10, broadcast::kDsctyTdc);

    TunerParam record{0, 175280, 0, 0};
    ASSERT_EQ(m_tuner->SetParam(kTunerSetFrequency, &record, 0), S_OK);
    for (const std::int32_t subChannel : {7, 1}) {
        record = {0, 0xE0C2, subChannel, 0};
        ASSERT_EQ(m_tuner->SetParam(kTunerSetService, &record, 0), S_OK);
        record = {};
        ASSERT_EQ(Command(kTunerGetService, record), S_OK);
        EXPECT_EQ(record.word[1], 0xE0C2);
        EXPECT_EQ(record.word[2], subChannel);
    }
}

TEST_F(TunerScan, FindsNothingWithoutSignalOrInGarbage) {
    Record(183008, testsupport::ThreeServiceEnsemble(0xE0B8, 0xF1E00448, 0, "8B"));
    ASSERT_TRUE(testsupport::WriteBytes(m_plugin.Broadcast() / "195008.eti",
                                        std::vector<std::uint8_t>(20000, 0x5A)));
    EXPECT_EQ(Step(4), 3);
    EXPECT_EQ(Step(10), 0);
    ASSERT_TRUE(testsupport::WriteBytes(m_plugin.Broadcast() / "SIGNAL_OFF", {}));
    EXPECT_EQ(Step(4), 0);
}

}  // namespace
