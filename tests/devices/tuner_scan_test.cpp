#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "tests/support/device_plugin.h"
#include "tests/support/eti_recording.h"

namespace {

using namespace platform;
using testsupport::TunerCommand;

constexpr std::size_t kEntry = 44;

struct Entry {
    std::int32_t word0;
    std::int32_t frequency;
    std::uint32_t sid;
    std::string label;  // all 20 bytes
    std::int32_t subChannel;
    std::int32_t type;
    std::int32_t word10;
};

std::int32_t Le32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(p[0] | (p[1] << 8) | (p[2] << 16) |
                                     (std::uint32_t{p[3]} << 24));
}

Entry ReadEntry(const std::uint8_t* p) {
    return {Le32(p),
            Le32(p + 4),
            static_cast<std::uint32_t>(Le32(p + 8)),
            std::string(reinterpret_cast<const char*>(p + 12), 20),
            Le32(p + 32),
            Le32(p + 36),
            Le32(p + 40)};
}

std::string Padded(const std::string& label) {
    std::string padded = label;
    padded.resize(20, '\0');
    return padded;
}

class TunerScan : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_plugin.Registered());
        m_tuner = m_plugin.Create<ITdmbTunerControl>(CLSID_TdmbTuner);
        ASSERT_TRUE(m_tuner);
    }

    void Record(std::int32_t frequency, const broadcast::EnsembleDescription& ensemble) {
        ASSERT_TRUE(
            testsupport::WriteEtiFrames(m_plugin.Broadcast() / (std::to_string(frequency) + ".eti"),
                                        testsupport::MakeEtiFrames(ensemble, 8)));
    }

    std::int32_t Steps() {
        TunerParam record{};
        EXPECT_EQ(TunerCommand(*m_tuner.Get(), kTunerGetScanSteps, record), S_OK);
        return static_cast<std::int32_t>(record.word[2]);
    }

    // The count a step reports, and the entries it wrote.
    std::pair<std::intptr_t, std::vector<Entry>> Step(std::int32_t step) {
        std::vector<std::uint8_t> buffer(11 * kEntry, 0xAA);
        TunerParam record{};
        record.word[1] = kScanStep;
        record.word[2] = step;
        record.word[3] = reinterpret_cast<std::intptr_t>(buffer.data());
        EXPECT_EQ(TunerCommand(*m_tuner.Get(), kTunerScan, record), S_OK);
        std::vector<Entry> entries;
        for (std::intptr_t i = 0; i < std::min<std::intptr_t>(record.word[1], 10); ++i) {
            entries.push_back(ReadEntry(buffer.data() + i * kEntry));
        }
        // Room for more than ten entries is never written.
        EXPECT_EQ(buffer[10 * kEntry], 0xAA);
        return {record.word[1], entries};
    }

    // Every step of a whole scan that found something, by frequency.
    std::map<std::int32_t, std::vector<Entry>> FullScan() {
        std::map<std::int32_t, std::vector<Entry>> found;
        TunerParam record{};
        record.word[1] = kScanBegin;
        EXPECT_EQ(TunerCommand(*m_tuner.Get(), kTunerScan, record), S_OK);
        const std::int32_t steps = Steps();
        for (std::int32_t step = 0; step < steps; ++step) {
            auto [count, entries] = Step(step);
            EXPECT_EQ(count, static_cast<std::intptr_t>(entries.size()));
            if (!entries.empty()) {
                found[entries.front().frequency] = entries;
            }
        }
        record = {};
        record.word[1] = kScanEnd;
        EXPECT_EQ(TunerCommand(*m_tuner.Get(), kTunerScan, record), S_OK);
        return found;
    }

    testsupport::DevicePlugin m_plugin;
    ComPtr<ITdmbTunerControl> m_tuner;
};

TEST_F(TunerScan, ReportsEveryServiceOfEachEnsembleAsDescribed) {
    const auto a = testsupport::ThreeServiceEnsemble(0xE0B8, 0xF1E00448, 0, "8B");
    const auto b = testsupport::ThreeServiceEnsemble(0xE0AB, 0xF1E00445, 3, "10B");
    Record(183008, a);
    Record(195008, b);

    const auto found = FullScan();
    ASSERT_EQ(found.size(), 2u);
    for (const auto& [frequency, ensemble] : {std::pair{183008, a}, std::pair{195008, b}}) {
        const auto& entries = found.at(frequency);
        ASSERT_EQ(entries.size(), ensemble.services.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const broadcast::Service& expected = ensemble.services[i];
            SCOPED_TRACE(expected.label);
            EXPECT_EQ(entries[i].frequency, frequency);
            EXPECT_EQ(entries[i].sid, expected.sid);
            EXPECT_EQ(entries[i].label, Padded(expected.label));
            EXPECT_EQ(entries[i].subChannel, expected.subChannelId);
            EXPECT_EQ(entries[i].word0, ensemble.eid);
            EXPECT_EQ(entries[i].word10, expected.componentType);
        }
        EXPECT_EQ(entries[0].type, 2);
        EXPECT_EQ(entries[1].type, 1);
        EXPECT_EQ(entries[2].type, 3);
    }
    // A 16-bit SId with its top bit set is zero-extended, not sign-extended.
    EXPECT_EQ(found.at(183008)[0].sid, 0x0000E0B9u);
}

TEST_F(TunerScan, ReportsTheRealCountButWritesAtMostTenEntries) {
    broadcast::EnsembleDescription e;
    e.eid = 0xE001;
    e.label = "Crowded";
    for (std::uint8_t id = 1; id <= 12; ++id) {
        e.subChannels.push_back(broadcast::EepSubChannel(id, (id - 1) * 12, 16, 3));
        e.services.push_back(testsupport::MakeService(0xC000 + id, "Radio " + std::to_string(id),
                                                      broadcast::ServiceKind::Audio, id));
    }
    Record(175280, e);
    TunerParam record{};
    record.word[1] = kScanBegin;
    TunerCommand(*m_tuner.Get(), kTunerScan, record);
    auto [count, entries] = Step(0);
    EXPECT_EQ(count, 12);
    ASSERT_EQ(entries.size(), 10u);
    EXPECT_EQ(entries[9].sid, 0xC00Au);
}

TEST_F(TunerScan, WalksTheFrequencyTableOfTheRegion) {
    EXPECT_EQ(Steps(), 21);
    const auto e = testsupport::ThreeServiceEnsemble(0xE0B8, 0xF1E00448, 0, "X");
    Record(175280, e);
    Record(214736, e);
    const auto found = FullScan();
    EXPECT_EQ(found.size(), 2u);
    EXPECT_TRUE(found.count(175280) && found.count(214736));

    const std::pair<int, int> regions[] = {{86, 0}, {86, 1}, {82, 0}};
    const std::int32_t steps[] = {23, 38, 21};
    for (std::size_t i = 0; i < 3; ++i) {
        TunerParam record{};
        record.word[1] = regions[i].first;
        record.word[2] = regions[i].second;
        EXPECT_EQ(m_tuner->SetParam(kTunerSetRegion, &record, 0), S_OK);
        EXPECT_EQ(Steps(), steps[i]);
    }
}

TEST_F(TunerScan, RefusesWhatItDoesNotKnow) {
    TunerParam record{};
    record.word[1] = 82;
    record.word[2] = 1;
    EXPECT_EQ(m_tuner->SetParam(kTunerSetRegion, &record, 0), E_INVALIDARG);
    record.word[1] = 44;
    record.word[2] = 0;
    EXPECT_EQ(m_tuner->SetParam(kTunerSetRegion, &record, 0), E_INVALIDARG);
    EXPECT_EQ(Steps(), 21);

    for (std::int32_t command : {6, 9, -1}) {
        record = {};
        EXPECT_EQ(m_tuner->GetParam(command, &record), E_INVALIDARG) << command;
        EXPECT_EQ(m_tuner->SetParam(command, &record, 0), E_INVALIDARG) << command;
    }
    for (std::int32_t command : {0, 1, 2, 3, 4, 5, 7, 8}) {
        EXPECT_EQ(m_tuner->GetParam(command, nullptr), E_POINTER) << command;
        EXPECT_EQ(m_tuner->SetParam(command, nullptr, 0), E_POINTER) << command;
    }

    std::uint8_t buffer[10 * kEntry] = {};
    record = {};
    record.word[1] = kScanStep;
    record.word[2] = 21;
    record.word[3] = reinterpret_cast<std::intptr_t>(buffer);
    EXPECT_EQ(m_tuner->GetParam(kTunerScan, &record), E_INVALIDARG);
    record.word[2] = -1;
    EXPECT_EQ(m_tuner->GetParam(kTunerScan, &record), E_INVALIDARG);
    record.word[2] = 0;
    record.word[3] = 0;
    EXPECT_EQ(m_tuner->GetParam(kTunerScan, &record), E_POINTER);
    record.word[1] = 3;
    EXPECT_EQ(m_tuner->GetParam(kTunerScan, &record), E_INVALIDARG);
}

TEST_F(TunerScan, FindsNothingWhileTheSignalIsOffOrTheRecordingIsGarbage) {
    Record(183008, testsupport::ThreeServiceEnsemble(0xE0B8, 0xF1E00448, 0, "8B"));
    ASSERT_TRUE(testsupport::WriteBytes(m_plugin.Broadcast() / "195008.eti",
                                        std::vector<std::uint8_t>(20000, 0x5A)));
    EXPECT_EQ(Step(4).first, 3);
    EXPECT_EQ(Step(10).first, 0);
    ASSERT_TRUE(testsupport::WriteBytes(m_plugin.Broadcast() / "SIGNAL_OFF", {}));
    EXPECT_EQ(Step(4).first, 0);
}

}  // namespace
