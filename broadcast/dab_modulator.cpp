#include "broadcast/dab_modulator.h"

#include <fftw3.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "broadcast/dab_coding.h"
#include "broadcast/ensemble.h"

namespace broadcast {
namespace {

using namespace dab;

// The sub-channel an ETI stream describes: bitrate from its length, coding from its TPL.
bool DescribeStream(const EtiStreamView& stream, SubChannel& subChannel) {
    subChannel.id = stream.subChannelId;
    subChannel.startAddress = stream.startAddress;
    const unsigned bitrate = stream.lengthWords * 8u / 3u;
    if (stream.lengthWords * 8u % 3u != 0) {
        return false;
    }
    if ((stream.protection & 0x20) == 0) {  // UEP: level in the low bits, index by bitrate
        const unsigned level = (stream.protection & 0x07) + 1u;
        for (std::uint8_t index = 0; index < 64; ++index) {
            SubChannel candidate = UepSubChannel(subChannel.id, subChannel.startAddress, index);
            if (candidate.bitrate == bitrate && candidate.protectionLevel == level) {
                subChannel = candidate;
                return true;
            }
        }
        return false;
    }
    const std::uint8_t option = (stream.protection >> 2) & 0x07;
    const std::uint8_t level = static_cast<std::uint8_t>((stream.protection & 0x03) + 1);
    if (option > 1 || bitrate % (option == 0 ? 8u : 32u) != 0 || bitrate == 0) {
        return false;
    }
    subChannel = EepSubChannel(subChannel.id, subChannel.startAddress,
                               static_cast<std::uint16_t>(bitrate), level, option);
    return true;
}

struct SubChannelCoder {
    std::uint16_t startAddress = 0;
    std::uint16_t sizeCu = 0;
    ProtectionProfile profile;
    // The last kInterleavingDepth coded CIFs; bit i goes out InterleavingDelay(i) CIFs late.
    std::array<std::vector<std::uint8_t>, kInterleavingDepth> history;
    std::size_t newest = 0;

    bool SameAs(const SubChannel& sc, const ProtectionProfile& p) const {
        return startAddress == sc.startAddress && sizeCu == sc.sizeCu && profile == p;
    }
};

}  // namespace

struct DabModulator::Impl {
    Impl() {
        Disperse(filler);  // unused capacity carries the dispersal sequence, not a flat run
        std::lock_guard lock(FftwPlannerMutex());
        fftIn = fftwf_alloc_complex(kFftSize);
        fftOut = fftwf_alloc_complex(kFftSize);
        plan = fftwf_plan_dft_1d(static_cast<int>(kFftSize), fftIn, fftOut, FFTW_BACKWARD,
                                 FFTW_ESTIMATE);
    }
    ~Impl() {
        std::lock_guard lock(FftwPlannerMutex());
        fftwf_destroy_plan(plan);
        fftwf_free(fftIn);
        fftwf_free(fftOut);
    }

    bool CodeFrame(const EtiFrameView& frame, std::string& error);
    void CodeSubChannel(SubChannelCoder& coder, std::span<const std::uint8_t> data,
                        std::span<std::uint8_t> cif);
    void Modulate();
    void EmitSymbol(std::size_t at, bool guard);

    std::map<std::uint8_t, SubChannelCoder> coders;
    std::vector<std::uint8_t> filler = std::vector<std::uint8_t>(kCifBits, 0);
    // FIC of the four CIFs, then the four CIFs: the bits of symbols 2..76 in order.
    std::vector<std::uint8_t> frameBits =
        std::vector<std::uint8_t>(kCifsPerFrame * (kFicCodedBits + kCifBits), 0);
    std::size_t cifs = 0;
    bool ready = false;
    std::vector<std::complex<float>> samples = std::vector<std::complex<float>>(kFrameSamples);
    std::array<std::complex<float>, kFftSize> carriers{};

    // Scratch space, kept to avoid allocations per frame.
    std::vector<std::uint8_t> bits, mother, coded;

    fftwf_complex* fftIn = nullptr;
    fftwf_complex* fftOut = nullptr;
    fftwf_plan plan = nullptr;
};

bool DabModulator::Impl::CodeFrame(const EtiFrameView& frame, std::string& error) {
    if (frame.mode != 1) {
        error = "ETI frame in transmission mode " + std::to_string(frame.mode) +
                ": only mode I is modulated";
        return false;
    }
    if (frame.fic.size() != kFibGroupBits / 8) {
        error = "ETI frame without a FIC";
        return false;
    }
    // Check every stream before touching any state, so a refused frame changes nothing.
    std::array<SubChannel, kEtiMaxStreams> described{};
    std::array<ProtectionProfile, kEtiMaxStreams> profiles{};
    for (std::size_t s = 0; s < frame.streamCount; ++s) {
        const EtiStreamView& stream = frame.streams[s];
        SubChannel& sc = described[s];
        std::optional<ProtectionProfile> profile;
        if (DescribeStream(stream, sc)) {
            profile = SubChannelProfile(sc);
        }
        if (!profile || profile->OutputBits() != sc.sizeCu * kCuBits ||
            profile->InputBits() != stream.data.size() * 8) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "sub-channel %u: protection 0x%02X at %u words is not in the tables",
                          stream.subChannelId, stream.protection, stream.lengthWords);
            error = text;
            return false;
        }
        if (sc.startAddress + sc.sizeCu > kCifCus) {
            error = "sub-channel " + std::to_string(stream.subChannelId) + " leaves the CIF";
            return false;
        }
        profiles[s] = *profile;
    }

    // FIC: one FIB group, dispersed, coded, punctured; not time-interleaved.
    bits.clear();
    Unpack(frame.fic, bits);
    Disperse(bits);
    mother.clear();
    ConvolutionalEncode(bits, mother);
    coded.clear();
    Puncture(mother, FicProfile(), coded);
    std::copy(coded.begin(), coded.end(), frameBits.begin() + cifs * kFicCodedBits);

    const auto cif =
        std::span(frameBits).subspan(kCifsPerFrame * kFicCodedBits + cifs * kCifBits, kCifBits);
    std::copy(filler.begin(), filler.end(), cif.begin());
    std::map<std::uint8_t, SubChannelCoder> kept;
    for (std::size_t s = 0; s < frame.streamCount; ++s) {
        const SubChannel& sc = described[s];
        auto node = coders.extract(sc.id);
        SubChannelCoder coder;
        if (!node.empty() && node.mapped().SameAs(sc, profiles[s])) {
            coder = std::move(node.mapped());
        } else {  // new or reorganised: its interleaver starts empty
            coder.startAddress = sc.startAddress;
            coder.sizeCu = sc.sizeCu;
            coder.profile = profiles[s];
            for (auto& h : coder.history) {
                h.assign(sc.sizeCu * kCuBits, 0);
            }
        }
        CodeSubChannel(coder, frame.streams[s].data, cif);
        kept.emplace(sc.id, std::move(coder));
    }
    coders = std::move(kept);
    return true;
}

void DabModulator::Impl::CodeSubChannel(SubChannelCoder& coder, std::span<const std::uint8_t> data,
                                        std::span<std::uint8_t> cif) {
    bits.clear();
    Unpack(data, bits);
    Disperse(bits);
    mother.clear();
    ConvolutionalEncode(bits, mother);
    coder.newest = (coder.newest + 1) % kInterleavingDepth;
    auto& current = coder.history[coder.newest];
    current.clear();
    Puncture(mother, coder.profile, current);
    auto out = cif.subspan(coder.startAddress * kCuBits, coder.sizeCu * kCuBits);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t from =
            (coder.newest + kInterleavingDepth - InterleavingDelay(i)) % kInterleavingDepth;
        out[i] = coder.history[from][i];
    }
}

void DabModulator::Impl::EmitSymbol(std::size_t at, bool guard) {
    for (std::size_t b = 0; b < kFftSize; ++b) {
        fftIn[b][0] = carriers[b].real();
        fftIn[b][1] = carriers[b].imag();
    }
    fftwf_execute(plan);
    const float scale = 1.0f / std::sqrt(static_cast<float>(kCarriers));
    auto* out = samples.data() + at;
    if (guard) {  // the cyclic prefix: the symbol's last samples ahead of it
        for (std::size_t i = 0; i < kGuardSamples; ++i) {
            const auto& s = fftOut[kFftSize - kGuardSamples + i];
            *out++ = {s[0] * scale, s[1] * scale};
        }
    }
    for (std::size_t i = 0; i < kFftSize; ++i) {
        *out++ = {fftOut[i][0] * scale, fftOut[i][1] * scale};
    }
}

void DabModulator::Impl::Modulate() {
    std::fill(samples.begin(), samples.begin() + kNullSamples, std::complex<float>{});
    carriers = PhaseReference();
    std::size_t at = kNullSamples;
    EmitSymbol(at, true);
    at += kSymbolSamples;
    const auto& carrierOf = CarrierOfSymbol();
    const float half = 1.0f / std::sqrt(2.0f);
    for (std::size_t symbol = 0; symbol + 1 < kSymbols; ++symbol) {
        const std::uint8_t* p = frameBits.data() + symbol * kSymbolBits;
        for (std::size_t n = 0; n < kCarriers; ++n) {
            const std::complex<float> y{(1 - 2 * p[n]) * half, (1 - 2 * p[n + kCarriers]) * half};
            auto& z = carriers[FftBin(carrierOf[n])];
            z *= y;
        }
        EmitSymbol(at, true);
        at += kSymbolSamples;
    }
}

DabModulator::DabModulator() : m_impl(std::make_unique<Impl>()) {}
DabModulator::~DabModulator() = default;

bool DabModulator::Add(const EtiFrameView& frame, std::string& error) {
    m_impl->ready = false;
    if (!m_impl->CodeFrame(frame, error)) {
        return false;
    }
    if (++m_impl->cifs == kCifsPerFrame) {
        m_impl->Modulate();
        m_impl->cifs = 0;
        m_impl->ready = true;
    }
    return true;
}

bool DabModulator::FrameReady() const {
    return m_impl->ready;
}

std::span<const std::complex<float>> DabModulator::Samples() const {
    return m_impl->samples;
}

}  // namespace broadcast
