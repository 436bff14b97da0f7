#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "broadcast/check_pattern.h"
#include "broadcast/crc.h"
#include "broadcast/dab_coding.h"
#include "broadcast/dab_modulator.h"
#include "broadcast/dab_receiver.h"
#include "broadcast/ensemble.h"
#include "broadcast/eti.h"
#include "broadcast/iq_signal.h"

namespace bc = broadcast;
namespace dab = broadcast::dab;

namespace {

// Three FIBs with valid CRCs that carry their CIF's number, so that order shows.
std::vector<std::uint8_t> Fic(std::uint32_t cif) {
    std::vector<std::uint8_t> fic(96, 0xFF);
    for (std::size_t fib = 0; fib < 3; ++fib) {
        const auto bytes = std::span(fic).subspan(fib * 32, 32);
        bytes[0] = static_cast<std::uint8_t>(cif >> 8);
        bytes[1] = static_cast<std::uint8_t>(cif);
        const std::uint16_t crc = bc::Crc16(bytes.first(30));
        bytes[30] = static_cast<std::uint8_t>(crc >> 8);
        bytes[31] = static_cast<std::uint8_t>(crc);
    }
    return fic;
}

// An ensemble whose sub-channels all carry the check pattern, through a radio path.
class Transmitter {
  public:
    Transmitter(std::vector<bc::SubChannel> subChannels, const bc::Impairments& impairments)
        : m_subChannels(std::move(subChannels)), m_path(impairments) {}

    // The next 96 ms as received.
    const std::vector<std::complex<float>>& NextFrame() {
        std::string error;
        for (std::size_t i = 0; i < dab::kCifsPerFrame; ++i, ++m_cif) {
            std::vector<std::vector<std::uint8_t>> payloads;
            std::vector<bc::EtiStream> streams;
            for (const auto& sc : m_subChannels) {
                payloads.emplace_back(sc.StreamLengthWords() * 8u);
                bc::FillCheckPattern(m_cif, payloads.back());
            }
            for (std::size_t s = 0; s < m_subChannels.size(); ++s) {
                const auto& sc = m_subChannels[s];
                streams.push_back({sc.id, sc.startAddress,
                                   bc::EtiProtection(sc.shortForm, sc.option, sc.protectionLevel),
                                   payloads[s]});
            }
            const auto fic = Fic(m_cif);
            bc::EtiFrameContent content;
            content.frameNumber = m_cif;
            content.fic = fic;
            content.streams = streams;
            std::vector<std::uint8_t> frame(bc::kEtiFrameSize);
            EXPECT_EQ(bc::WriteEtiFrame(content, frame), bc::EtiError::None);
            EXPECT_TRUE(m_modulator.Add(bc::ParseEtiFrame(frame).frame, error)) << error;
        }
        m_path.Process(m_modulator.Samples(), m_received);
        return m_received;
    }

  private:
    std::vector<bc::SubChannel> m_subChannels;
    bc::DabModulator m_modulator;
    bc::RadioPath m_path;
    std::uint32_t m_cif = 0;
    std::vector<std::complex<float>> m_received;
};

// What a receiver decoded: per CIF the number its FIC carries (-1 when not as sent) and the
// check pattern frame of the sub-channel (-1 when not the pattern, -2 when empty).
struct Decoded {
    std::vector<int> fic, subChannel;

    void operator()(const bc::ReceivedCif& cif) {
        const int number = cif.fic.size() == 96 ? cif.fic[0] << 8 | cif.fic[1] : -1;
        const auto sent = Fic(static_cast<std::uint32_t>(std::max(number, 0)));
        fic.push_back(std::equal(cif.fic.begin(), cif.fic.end(), sent.begin(), sent.end()) ? number
                                                                                           : -1);
        subChannel.push_back(cif.subChannel.empty() ? -2 : bc::CheckPatternFrame(cif.subChannel));
    }
};

void Feed(bc::DabReceiver& receiver, std::span<const std::complex<float>> samples, Decoded& decoded,
          std::size_t block = 4999) {
    for (std::size_t at = 0; at < samples.size(); at += block) {
        receiver.Push(samples.subspan(at, std::min(block, samples.size() - at)),
                      [&](const bc::ReceivedCif& cif) { decoded(cif); });
    }
}

// From CIF `from` on every FIC is as sent, in order; from `whole` on the sub-channel gives,
// once its de-interleaver is full and without gaps, the logical frame sent 15 CIFs before.
// Returns how many sub-channel frames it gave.
int ExpectInOrder(const Decoded& d, std::size_t from, std::size_t whole = 0) {
    int frames = 0;
    for (std::size_t i = from; i < d.fic.size(); ++i) {
        EXPECT_GE(d.fic[i], 0) << "CIF " << i;
        if (i > from) {
            EXPECT_EQ(d.fic[i], d.fic[i - 1] + 1) << "CIF " << i;
        }
        if (i >= whole && (frames > 0 || d.subChannel[i] != -2)) {
            EXPECT_EQ(d.subChannel[i], d.fic[i] - 15) << "CIF " << i;
            ++frames;
        }
    }
    return frames;
}

TEST(DabReceiver, DecodesFicUepAndEepThroughNoiseEchoAndOffsets) {
    const auto uep = bc::UepSubChannel(1, 0, 13);  // with padding after the tail
    ASSERT_NE(dab::SubChannelProfile(uep)->paddingBits, 0);
    const auto eep = bc::EepSubChannel(2, uep.sizeCu, 64, 3);
    bc::Impairments impairments;
    impairments.snrDb = 10;
    impairments.frequencyOffsetHz = 1234;
    impairments.clockOffsetPpm = 20;
    impairments.echoDelayUs = 40;
    impairments.echoLevelDb = -10;
    Transmitter transmitter({uep, eep}, impairments);
    bc::DabReceiver uepReceiver, eepReceiver;
    uepReceiver.SelectSubChannel(uep);
    eepReceiver.SelectSubChannel(eep);
    Decoded uepDecoded, eepDecoded;
    for (int frame = 0; frame < 12; ++frame) {
        auto samples = std::span(transmitter.NextFrame());
        if (frame == 0) {
            samples = samples.subspan(70000);  // start listening mid-frame
        }
        Feed(uepReceiver, samples, uepDecoded);
        Feed(eepReceiver, samples, eepDecoded);
    }
    ASSERT_GE(uepDecoded.fic.size(), 40u);
    EXPECT_GE(ExpectInOrder(uepDecoded, 0), 25);
    EXPECT_GE(ExpectInOrder(eepDecoded, 0), 25);

    const auto status = uepReceiver.Status();
    EXPECT_TRUE(status.synced);
    EXPECT_EQ(status.fibsBad, 0u);
    EXPECT_EQ(status.fibsGood, 3 * uepDecoded.fic.size());
    EXPECT_EQ(status.frames, uepDecoded.fic.size() / 4);
    EXPECT_NEAR(status.frequencyOffsetHz, 1234, 5);
    EXPECT_NEAR(status.clockOffsetPpm, 20, 3);
    EXPECT_NEAR(status.snrDb, 10, 1.5);
}

TEST(DabReceiver, RecoversFromAWholeCarrierOffsetAndAnOutage) {
    const auto eepB = bc::EepSubChannel(4, 300, 96, 2, 1);
    bc::Impairments impairments;
    impairments.snrDb = 15;
    impairments.frequencyOffsetHz = -12000;
    impairments.clockOffsetPpm = -80;
    impairments.outageStartS = 0.6;
    impairments.outageLengthS = 0.4;
    Transmitter transmitter({eepB}, impairments);
    bc::DabReceiver receiver;
    receiver.SelectSubChannel(eepB);
    Decoded decoded;
    bool lostSync = false;
    for (int frame = 0; frame < 24; ++frame) {
        Feed(receiver, transmitter.NextFrame(), decoded, 65536);
        lostSync = lostSync || !receiver.Status().synced;
    }
    EXPECT_TRUE(lostSync);
    const auto status = receiver.Status();
    EXPECT_TRUE(status.synced);
    EXPECT_NEAR(status.frequencyOffsetHz, -12000, 5);
    EXPECT_NEAR(status.clockOffsetPpm, -80, 3);

    // Before the outage and after it all is as sent; CIFs hit by the outage are lost or
    // decode wrong, and the sub-channel is whole again once its de-interleaver has refilled.
    std::size_t resumed = decoded.fic.size() - 1;
    while (resumed > 0 && decoded.fic[resumed - 1] >= 0 &&
           decoded.fic[resumed] == decoded.fic[resumed - 1] + 1) {
        --resumed;
    }
    ASSERT_GT(resumed, 16u);
    EXPECT_GE(decoded.fic[resumed], 41);  // not before the outage's end
    EXPECT_GE(ExpectInOrder(decoded, resumed, resumed + 15), 20);
    Decoded before = decoded;
    before.fic.resize(20);
    before.subChannel.resize(20);
    EXPECT_EQ(ExpectInOrder(before, 0), 5);
}

TEST(DabReceiver, NoiseAndGarbageNeverSyncAndEndASync) {
    const auto sc = bc::EepSubChannel(1, 0, 64, 3);
    bc::DabReceiver receiver;
    receiver.SelectSubChannel(sc);
    Decoded decoded;
    bc::Impairments impairments;
    impairments.snrDb = 0;
    bc::RadioPath path(impairments);
    std::vector<std::complex<float>> silence(dab::kFrameSamples), noise;
    for (int frame = 0; frame < 6; ++frame) {
        path.Process(silence, noise);
        if (frame >= 3) {  // a dip like a null symbol, but no phase reference behind it
            std::fill_n(noise.begin() + 1000, dab::kNullSamples, std::complex<float>{});
        }
        Feed(receiver, noise, decoded, frame == 1 ? 1 : 8191);
    }
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<std::complex<float>> garbage(4 * dab::kFrameSamples);
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = i % 7 == 0               ? std::complex<float>{nan, inf}
                     : i % 5 == 0             ? std::complex<float>{3e38f, -inf}
                     : i < garbage.size() / 2 ? std::complex<float>{}
                                              : std::complex<float>(float(i % 3), 0);
    }
    Feed(receiver, garbage, decoded);
    EXPECT_TRUE(decoded.fic.empty());
    EXPECT_FALSE(receiver.Status().synced);
    EXPECT_EQ(receiver.Status().frames, 0u);

    // Garbage after a signal: the receiver gives up the frames it cannot find and searches.
    Transmitter transmitter({sc}, {});
    for (int frame = 0; frame < 3; ++frame) {
        Feed(receiver, transmitter.NextFrame(), decoded);
    }
    EXPECT_TRUE(receiver.Status().synced);
    const std::size_t cifs = decoded.fic.size();
    EXPECT_GE(cifs, 4u);
    Feed(receiver, garbage, decoded);
    EXPECT_FALSE(receiver.Status().synced);
    EXPECT_LE(decoded.fic.size(), cifs + 4);  // the last frame waited for samples after it
}

}  // namespace
