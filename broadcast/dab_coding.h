#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "broadcast/ensemble.h"

// The channel coding and OFDM constants of DAB transmission mode I, shared by the modulator and
// any receiver. Bits travel unpacked, one bit (0 or 1) per byte, most significant bit of each
// byte first.
namespace broadcast::dab {

inline constexpr std::size_t kSampleRate = 2'048'000;
inline constexpr std::size_t kCarriers = 1536;  // K, carriers -768..768 without 0
inline constexpr std::size_t kFftSize = 2048;
inline constexpr std::size_t kGuardSamples = 504;
inline constexpr std::size_t kSymbolSamples = kFftSize + kGuardSamples;
inline constexpr std::size_t kNullSamples = 2656;
inline constexpr std::size_t kSymbols = 76;  // phase reference, 3 FIC, 72 MSC
inline constexpr std::size_t kFicSymbols = 3;
inline constexpr std::size_t kFrameSamples = kNullSamples + kSymbols * kSymbolSamples;  // 96 ms
inline constexpr std::size_t kCifsPerFrame = 4;
inline constexpr std::size_t kSymbolBits = 2 * kCarriers;
inline constexpr std::size_t kCuBits = 64;
inline constexpr std::size_t kCifCus = 864;
inline constexpr std::size_t kCifBits = kCifCus * kCuBits;  // 18 symbols
inline constexpr std::size_t kFibGroupBits = 3 * 256;       // the FIBs of one CIF
inline constexpr std::size_t kFicCodedBits = 2304;          // one FIB group after coding
inline constexpr std::size_t kInterleavingDepth = 16;       // CIFs

// Bytes to bits and back, most significant bit first.
void Unpack(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& bits);
void Pack(std::span<const std::uint8_t> bits, std::vector<std::uint8_t>& bytes);

// Energy dispersal: XOR with the PRBS x^9 + x^5 + 1 started from all ones, afresh for each
// logical frame of a sub-channel and each FIB group.
void Disperse(std::span<std::uint8_t> bits);

// The rate-1/4 mother code (constraint length 7, generators 133 171 145 133 octal) from the zero
// state, with the six tail bits that return it there: 4 * (bits + 6) output bits.
void ConvolutionalEncode(std::span<const std::uint8_t> bits, std::vector<std::uint8_t>& out);

// Puncturing vector PI_n (n = 1..24): which of 32 mother-code bits are sent.
const std::array<std::uint8_t, 32>& PuncturingVector(unsigned n);
// The vector for the 24 mother-code bits of the tail.
const std::array<std::uint8_t, 24>& TailPuncturingVector();

// How a block of input bits is punctured: runs of 128-bit mother-code blocks, each with one
// puncturing vector, then the tail, then padding bits.
struct PunctureRun {
    std::uint16_t blocks = 0;
    std::uint8_t vector = 0;  // PI_n

    bool operator==(const PunctureRun&) const = default;
};
struct ProtectionProfile {
    std::array<PunctureRun, 4> runs{};
    std::size_t runCount = 0;
    std::uint16_t paddingBits = 0;

    std::size_t InputBits() const;  // before the mother code, tail excluded
    std::size_t OutputBits() const;

    bool operator==(const ProtectionProfile&) const = default;
};

// One FIB group (768 bits) in mode I.
const ProtectionProfile& FicProfile();
// A sub-channel's profile from its UEP table index or EEP option, level and size; nullopt for
// codings the tables do not have.
std::optional<ProtectionProfile> SubChannelProfile(const SubChannel& subChannel);

// Drops the punctured mother-code bits (and adds the padding) into out.
void Puncture(std::span<const std::uint8_t> mother, const ProtectionProfile& profile,
              std::vector<std::uint8_t>& out);

// The inverse of Puncture for soft values (positive for a 0 bit): the mother code with each
// punctured bit as 0, an erasure that favours neither value. Padding is skipped, and missing
// input reads as erasures.
void Depuncture(std::span<const std::int8_t> received, const ProtectionProfile& profile,
                std::vector<std::int8_t>& mother);

// Soft-decision Viterbi decoding of the mother code, ending in the zero state after the tail.
// Keeps its decision memory between calls, so decoding allocates only when blocks grow.
class ViterbiDecoder {
  public:
    // mother: 4 soft values per input bit and the 24 of the tail; bits: the input bits.
    void Decode(std::span<const std::int8_t> mother, std::vector<std::uint8_t>& bits);

  private:
    std::vector<std::uint8_t> m_decisions;  // per step and state: which predecessor won
};

// Time interleaving: bit i of a sub-channel's coded CIF is sent DelayOf(i) CIFs late.
constexpr std::size_t InterleavingDelay(std::size_t bit) {
    constexpr std::array<std::uint8_t, 16> kDelay{0, 8, 4, 12, 2, 10, 6, 14,
                                                  1, 9, 5, 13, 3, 11, 7, 15};
    return kDelay[bit % 16];
}

// Frequency interleaving: the carrier (-768..768, never 0) that carries QPSK symbol n of an OFDM
// symbol.
const std::array<std::int16_t, kCarriers>& CarrierOfSymbol();

// The FFT bin of carrier k.
constexpr std::size_t FftBin(int carrier) {
    return static_cast<std::size_t>(carrier < 0 ? carrier + static_cast<int>(kFftSize) : carrier);
}

// The phase reference symbol, indexed by FFT bin (unused bins zero).
const std::array<std::complex<float>, kFftSize>& PhaseReference();

// FFTW's planner is not thread-safe: every plan in the process is made and destroyed under it.
std::mutex& FftwPlannerMutex();

}  // namespace broadcast::dab
