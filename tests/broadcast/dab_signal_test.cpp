#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <set>
#include <vector>

#include "broadcast/check_pattern.h"
#include "broadcast/dab_coding.h"
#include "broadcast/dab_modulator.h"
#include "broadcast/ensemble.h"
#include "broadcast/eti.h"
#include "broadcast/iq_signal.h"
#include "tests/support/eti_recording.h"

namespace bc = broadcast;
namespace dab = broadcast::dab;

namespace {

TEST(DabCoding, DispersalSequenceStartsAsTheStandardPrintsIt) {
    std::vector<std::uint8_t> bits(16, 0);
    dab::Disperse(bits);
    const std::vector<std::uint8_t> expected{0, 0, 0, 0, 0, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1, 0};
    EXPECT_EQ(bits, expected);
}

// A wrong block count or puncturing vector in any profile gives a sub-channel whose coded size
// is not its size in CUs; a receiver would lose the whole multiplex behind it.
TEST(DabCoding, EveryProtectionProfileFillsItsSubChannelExactly) {
    for (unsigned n = 1; n <= 24; ++n) {
        const auto& v = dab::PuncturingVector(n);
        EXPECT_EQ(std::accumulate(v.begin(), v.end(), 0u), 8 + n) << "PI_" << n;
    }
    EXPECT_EQ(dab::FicProfile().InputBits(), dab::kFibGroupBits);
    EXPECT_EQ(dab::FicProfile().OutputBits(), dab::kFicCodedBits);

    std::vector<bc::SubChannel> subChannels;
    for (std::uint8_t index = 0; index < 64; ++index) {
        subChannels.push_back(bc::UepSubChannel(1, 0, index));
    }
    for (std::uint8_t level = 1; level <= 4; ++level) {
        for (std::uint16_t rate : {8, 16, 64, 96, 256}) {
            subChannels.push_back(bc::EepSubChannel(1, 0, rate, level, 0));
        }
        for (std::uint16_t rate : {32, 64, 192}) {
            subChannels.push_back(bc::EepSubChannel(1, 0, rate, level, 1));
        }
    }
    for (const bc::SubChannel& sc : subChannels) {
        const auto profile = dab::SubChannelProfile(sc);
        ASSERT_TRUE(profile) << int(sc.tableIndex);
        EXPECT_EQ(profile->InputBits(), sc.bitrate * 24u)
            << int(sc.tableIndex) << " " << sc.bitrate;
        EXPECT_EQ(profile->OutputBits(), sc.sizeCu * dab::kCuBits)
            << (sc.shortForm ? "UEP index " : "EEP level ")
            << int(sc.shortForm ? sc.tableIndex : sc.protectionLevel) << " at " << sc.bitrate
            << " kbit/s";
    }
}

TEST(DabCoding, FrequencyInterleavingUsesEveryCarrierOnce) {
    const auto& table = dab::CarrierOfSymbol();
    std::set<int> carriers(table.begin(), table.end());
    EXPECT_EQ(carriers.size(), dab::kCarriers);
    EXPECT_EQ(*carriers.begin(), -768);
    EXPECT_EQ(*carriers.rbegin(), 768);
    EXPECT_EQ(carriers.count(0), 0u);
}

// One ETI frame of a small ensemble: FIC and one EEP sub-channel with the check pattern.
std::vector<std::uint8_t> EtiFrame(std::uint32_t number) {
    bc::EnsembleDescription ensemble;
    ensemble.subChannels.push_back(bc::EepSubChannel(3, 10, 64, 3));
    return testsupport::MakeEtiFrames(ensemble, number + 1, std::nullopt, true).back();
}

TEST(DabModulator, FramesHaveANullSymbolGuardIntervalsAndThePhaseReference) {
    bc::DabModulator modulator;
    std::string error;
    for (std::uint32_t n = 0; n < 4; ++n) {
        const auto frame = EtiFrame(n);
        ASSERT_TRUE(modulator.Add(bc::ParseEtiFrame(frame).frame, error)) << error;
        EXPECT_EQ(modulator.FrameReady(), n == 3);
    }
    const auto samples = modulator.Samples();
    ASSERT_EQ(samples.size(), dab::kFrameSamples);
    EXPECT_TRUE(std::all_of(samples.begin(), samples.begin() + dab::kNullSamples,
                            [](auto s) { return s == std::complex<float>{}; }));
    double power = 0;
    for (std::size_t symbol = 0; symbol < dab::kSymbols; ++symbol) {
        const auto* s = samples.data() + dab::kNullSamples + symbol * dab::kSymbolSamples;
        for (std::size_t i = 0; i < dab::kGuardSamples; ++i) {
            ASSERT_EQ(s[i], s[i + dab::kFftSize]) << "symbol " << symbol << " sample " << i;
        }
        for (std::size_t i = 0; i < dab::kSymbolSamples; ++i) {
            power += std::norm(s[i]);
        }
    }
    EXPECT_NEAR(power / (dab::kSymbols * dab::kSymbolSamples), 1.0, 0.01);

    // The first symbol's carriers are the phase reference (a plain DFT, no shortcut).
    const auto* prs = samples.data() + dab::kNullSamples + dab::kGuardSamples;
    const auto& reference = dab::PhaseReference();
    for (int k : {-768, -300, -1, 1, 255, 768}) {
        std::complex<double> sum;
        for (std::size_t t = 0; t < dab::kFftSize; ++t) {
            sum += std::complex<double>(prs[t]) *
                   std::polar(1.0, -2 * M_PI * k * static_cast<double>(t) / dab::kFftSize);
        }
        sum *= std::sqrt(static_cast<double>(dab::kCarriers)) / dab::kFftSize;
        EXPECT_NEAR(std::abs(sum - std::complex<double>(reference[dab::FftBin(k)])), 0, 1e-3)
            << "carrier " << k;
    }
}

TEST(DabModulator, RefusesWhatItCannotSendAndGoesOn) {
    bc::DabModulator modulator;
    std::string error;
    auto frame = EtiFrame(0);
    auto view = bc::ParseEtiFrame(frame).frame;
    view.mode = 2;
    EXPECT_FALSE(modulator.Add(view, error));
    EXPECT_NE(error.find("mode"), std::string::npos);
    view = bc::ParseEtiFrame(frame).frame;
    view.streams[0].startAddress = 850;  // 48 CUs from 850 leave the 864 of the CIF
    EXPECT_FALSE(modulator.Add(view, error));
    view = bc::ParseEtiFrame(frame).frame;
    view.streams[0].protection = 0x3F;  // EEP option 7
    EXPECT_FALSE(modulator.Add(view, error));
    for (int n = 0; n < 4; ++n) {
        EXPECT_TRUE(modulator.Add(bc::ParseEtiFrame(frame).frame, error)) << error;
    }
    EXPECT_TRUE(modulator.FrameReady());
}

TEST(IqSignal, NoiseStandsAtTheAskedRatioInTheEnsemblesBand) {
    bc::Impairments impairments;
    std::string error;
    ASSERT_TRUE(bc::ParseImpairments("snr=10,seed=7", impairments, error)) << error;
    EXPECT_FALSE(bc::ParseImpairments("echo=5:3", impairments, error));
    EXPECT_FALSE(bc::ParseImpairments("snr=ten", impairments, error));
    bc::RadioPath path(impairments);
    std::vector<std::complex<float>> silence(1 << 18), noise;
    path.Process(silence, noise);
    double power = 0;
    for (auto s : noise) {
        power += std::norm(s);
    }
    power /= static_cast<double>(noise.size());
    // In-band noise power 0.1 spread over the whole 2.048 MHz.
    EXPECT_NEAR(power, 0.1 * 2048 / 1536, 0.003);
}

TEST(IqSignal, ClockOffsetStretchesTheSignalAndSamplesRoundTrip) {
    bc::Impairments impairments;
    impairments.clockOffsetPpm = 1000 - 1;  // the largest offset accepted
    bc::RadioPath path(impairments);
    std::vector<std::complex<float>> in(100000, {0.5f, -0.25f}), out;
    path.Process(in, out);
    EXPECT_NEAR(static_cast<double>(out.size()), 100000 / 1.000999, 3);
    EXPECT_NEAR(std::abs(out[5000] - in[5000]), 0, 1e-5);  // constant stays constant

    std::vector<std::uint8_t> bytes;
    bc::AppendSamples(std::span(in).first(4), bc::IqFormat::U8, bytes);
    std::vector<std::complex<float>> back;
    bc::ReadSamples(bytes, bc::IqFormat::U8, back);
    ASSERT_EQ(back.size(), 4u);
    EXPECT_NEAR(std::abs(back[0] - in[0]), 0, 0.5f / bc::kU8Level * 1.5f);
}

}  // namespace
