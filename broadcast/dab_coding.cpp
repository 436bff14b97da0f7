#include "broadcast/dab_coding.h"

#include <bit>
#include <cmath>
#include <numbers>

namespace broadcast::dab {
namespace {

struct UepPuncturing {
    std::array<std::uint8_t, 4> blocks;
    std::array<std::uint8_t, 4> vectors;
    std::uint8_t padding;
};

// Puncturing of the 64 UEP table indexes, in the order of the sub-channel table in ensemble.cpp
// (bitrate rising, protection level falling within a bitrate).
constexpr std::array<UepPuncturing, 64> kUepPuncturing{{
    {{3, 4, 17, 0}, {5, 3, 2, 0}, 0},        {{3, 3, 18, 0}, {11, 6, 5, 0}, 0},
    {{3, 4, 14, 3}, {15, 9, 6, 8}, 0},       {{3, 4, 14, 3}, {22, 13, 8, 13}, 0},
    {{3, 5, 13, 3}, {24, 17, 12, 17}, 4},    {{4, 3, 26, 3}, {5, 4, 2, 3}, 0},
    {{3, 4, 26, 3}, {9, 6, 4, 6}, 0},        {{3, 4, 26, 3}, {15, 10, 6, 9}, 4},
    {{3, 4, 26, 3}, {24, 14, 8, 15}, 0},     {{3, 5, 25, 3}, {24, 18, 13, 18}, 0},
    {{6, 10, 23, 3}, {5, 4, 2, 3}, 0},       {{6, 10, 23, 3}, {9, 6, 4, 5}, 0},
    {{6, 12, 21, 3}, {16, 7, 6, 9}, 0},      {{6, 10, 23, 3}, {23, 13, 8, 13}, 8},
    {{6, 9, 31, 2}, {5, 3, 2, 3}, 0},        {{6, 9, 33, 0}, {11, 6, 5, 0}, 0},
    {{6, 12, 27, 3}, {16, 8, 6, 9}, 0},      {{6, 10, 29, 3}, {23, 13, 8, 13}, 8},
    {{6, 11, 28, 3}, {24, 18, 12, 18}, 4},   {{6, 10, 41, 3}, {6, 3, 2, 3}, 0},
    {{6, 10, 41, 3}, {11, 6, 5, 6}, 0},      {{6, 11, 40, 3}, {16, 8, 6, 7}, 0},
    {{6, 10, 41, 3}, {23, 13, 8, 13}, 8},    {{6, 10, 41, 3}, {24, 17, 12, 18}, 4},
    {{7, 9, 53, 3}, {5, 4, 2, 4}, 0},        {{7, 10, 52, 3}, {9, 6, 4, 6}, 0},
    {{6, 12, 51, 3}, {16, 9, 6, 10}, 4},     {{6, 10, 53, 3}, {22, 12, 9, 12}, 0},
    {{6, 13, 50, 3}, {24, 18, 13, 19}, 0},   {{14, 17, 50, 3}, {5, 4, 2, 5}, 0},
    {{11, 21, 49, 3}, {9, 6, 4, 8}, 0},      {{11, 23, 47, 3}, {16, 8, 6, 9}, 0},
    {{11, 21, 49, 3}, {23, 12, 9, 14}, 4},   {{12, 19, 62, 3}, {5, 3, 2, 4}, 0},
    {{11, 21, 61, 3}, {11, 6, 5, 7}, 0},     {{11, 22, 60, 3}, {16, 9, 6, 10}, 4},
    {{11, 21, 61, 3}, {22, 12, 9, 14}, 0},   {{11, 20, 62, 3}, {24, 17, 13, 19}, 8},
    {{11, 19, 87, 3}, {5, 4, 2, 4}, 0},      {{11, 23, 83, 3}, {11, 6, 5, 9}, 0},
    {{11, 24, 82, 3}, {16, 8, 6, 11}, 0},    {{11, 21, 85, 3}, {22, 11, 9, 13}, 0},
    {{11, 22, 84, 3}, {24, 18, 12, 19}, 0},  {{11, 20, 110, 3}, {6, 4, 2, 5}, 0},
    {{11, 22, 108, 3}, {10, 6, 4, 9}, 0},    {{11, 24, 106, 3}, {16, 10, 6, 11}, 0},
    {{11, 20, 110, 3}, {22, 13, 9, 13}, 8},  {{11, 21, 109, 3}, {24, 20, 13, 24}, 0},
    {{12, 22, 131, 3}, {8, 6, 2, 6}, 4},     {{12, 26, 127, 3}, {12, 8, 4, 11}, 0},
    {{11, 20, 134, 3}, {16, 10, 7, 9}, 0},   {{11, 22, 132, 3}, {24, 16, 10, 15}, 0},
    {{11, 24, 130, 3}, {24, 20, 12, 20}, 4}, {{11, 24, 154, 3}, {6, 5, 2, 5}, 0},
    {{11, 24, 154, 3}, {12, 9, 5, 10}, 4},   {{11, 27, 151, 3}, {16, 10, 7, 10}, 0},
    {{11, 22, 156, 3}, {24, 14, 10, 13}, 8}, {{11, 26, 152, 3}, {24, 19, 14, 18}, 4},
    {{11, 26, 200, 3}, {8, 5, 2, 6}, 4},     {{11, 25, 201, 3}, {13, 9, 5, 10}, 8},
    {{11, 26, 200, 3}, {24, 17, 9, 17}, 0},  {{11, 27, 247, 3}, {8, 6, 2, 7}, 0},
    {{11, 24, 250, 3}, {16, 9, 7, 10}, 4},   {{12, 28, 245, 3}, {24, 20, 14, 23}, 8},
}};

// EEP: L1 = a * n + b blocks with PI1, L2 = c * n + d with PI2, n the sub-channel size over its
// CUs per step (8 kbit/s for option A, 32 kbit/s for option B).
struct EepRule {
    std::uint16_t cuPerStep;
    int a, b, c, d;
    std::uint8_t pi1, pi2;
};
constexpr std::array<EepRule, 4> kEepA{{{12, 6, -3, 0, 3, 24, 23},
                                        {8, 2, -3, 4, 3, 14, 13},
                                        {6, 6, -3, 0, 3, 8, 7},
                                        {4, 4, -3, 2, 3, 3, 2}}};
constexpr std::array<EepRule, 4> kEepB{{{27, 24, -3, 0, 3, 10, 9},
                                        {21, 24, -3, 0, 3, 6, 5},
                                        {18, 24, -3, 0, 3, 4, 3},
                                        {15, 24, -3, 0, 3, 2, 1}}};

std::array<std::array<std::uint8_t, 32>, 24> MakePuncturingVectors() {
    // Every vector sends the first bit of each group of four; PI_n adds n more, filling the
    // second, then the third, then the fourth bit of the groups in this order.
    constexpr std::array<std::size_t, 8> kGroupOrder{0, 4, 2, 6, 1, 5, 3, 7};
    std::array<std::array<std::uint8_t, 32>, 24> vectors{};
    for (std::size_t n = 1; n <= 24; ++n) {
        auto& v = vectors[n - 1];
        for (std::size_t group = 0; group < 8; ++group) {
            v[group * 4] = 1;
        }
        for (std::size_t added = 0; added < n; ++added) {
            v[kGroupOrder[added % 8] * 4 + 1 + added / 8] = 1;
        }
    }
    return vectors;
}

std::array<std::int16_t, kCarriers> MakeCarrierOfSymbol() {
    std::array<std::int16_t, kCarriers> table{};
    std::size_t n = 0;
    unsigned value = 0;
    for (std::size_t i = 0; i < kFftSize; ++i) {
        if (i > 0) {
            value = (13 * value + 511) % kFftSize;
        }
        if (value >= 256 && value <= 1792 && value != 1024) {
            table[n++] = static_cast<std::int16_t>(static_cast<int>(value) - 1024);
        }
    }
    return table;
}

std::array<std::complex<float>, kFftSize> MakePhaseReference() {
    // Phase (pi/2 multiples) h[i][k - k'] + n for each group of 32 carriers from -768 upwards.
    constexpr std::uint8_t kH[4][32] = {{0, 2, 0, 0, 0, 0, 1, 1, 2, 0, 0, 0, 2, 2, 1, 1,
                                         0, 2, 0, 0, 0, 0, 1, 1, 2, 0, 0, 0, 2, 2, 1, 1},
                                        {0, 3, 2, 3, 0, 1, 3, 0, 2, 1, 2, 3, 2, 3, 3, 0,
                                         0, 3, 2, 3, 0, 1, 3, 0, 2, 1, 2, 3, 2, 3, 3, 0},
                                        {0, 0, 0, 2, 0, 2, 1, 3, 2, 2, 0, 2, 2, 0, 1, 3,
                                         0, 0, 0, 2, 0, 2, 1, 3, 2, 2, 0, 2, 2, 0, 1, 3},
                                        {0, 1, 2, 1, 0, 3, 3, 2, 2, 3, 2, 1, 2, 1, 3, 2,
                                         0, 1, 2, 1, 0, 3, 3, 2, 2, 3, 2, 1, 2, 1, 3, 2}};
    struct Group {
        std::uint8_t i, n;
    };
    constexpr std::array<Group, 48> kGroups{{
        {0, 1}, {1, 2}, {2, 0}, {3, 1}, {0, 3}, {1, 2}, {2, 2}, {3, 3}, {0, 2}, {1, 1},
        {2, 2}, {3, 3}, {0, 1}, {1, 2}, {2, 3}, {3, 3}, {0, 2}, {1, 2}, {2, 2}, {3, 1},
        {0, 1}, {1, 3}, {2, 1}, {3, 2}, {0, 3}, {3, 1}, {2, 1}, {1, 1}, {0, 2}, {3, 2},
        {2, 1}, {1, 0}, {0, 2}, {3, 2}, {2, 3}, {1, 3}, {0, 0}, {3, 2}, {2, 1}, {1, 3},
        {0, 3}, {3, 3}, {2, 3}, {1, 0}, {0, 3}, {3, 0}, {2, 1}, {1, 1},
    }};
    std::array<std::complex<float>, kFftSize> symbol{};
    for (int k = -768; k <= 768; ++k) {
        if (k == 0) {
            continue;
        }
        // Groups below zero start at -768, -736, ...; above zero at 1, 33, ...
        const int index = k < 0 ? (k + 768) / 32 : 24 + (k - 1) / 32;
        const int first = k < 0 ? -768 + index * 32 : 1 + (index - 24) * 32;
        const Group& group = kGroups[static_cast<std::size_t>(index)];
        const int quarter = kH[group.i][k - first] + group.n;
        symbol[FftBin(k)] = std::polar(1.0f, static_cast<float>(std::numbers::pi / 2 * quarter));
    }
    return symbol;
}

}  // namespace

void Unpack(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& bits) {
    for (std::uint8_t byte : bytes) {
        for (int b = 7; b >= 0; --b) {
            bits.push_back(static_cast<std::uint8_t>((byte >> b) & 1));
        }
    }
}

void Pack(std::span<const std::uint8_t> bits, std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i + 8 <= bits.size(); i += 8) {
        std::uint8_t byte = 0;
        for (std::size_t b = 0; b < 8; ++b) {
            byte = static_cast<std::uint8_t>((byte << 1) | (bits[i + b] & 1));
        }
        bytes.push_back(byte);
    }
}

void Disperse(std::span<std::uint8_t> bits) {
    unsigned shift = 0x1FF;
    for (std::uint8_t& bit : bits) {
        const unsigned out = ((shift >> 8) ^ (shift >> 4)) & 1;
        shift = ((shift << 1) | out) & 0x1FF;
        bit ^= static_cast<std::uint8_t>(out);
    }
}

void ConvolutionalEncode(std::span<const std::uint8_t> bits, std::vector<std::uint8_t>& out) {
    // Generators with the newest bit as the most significant of seven.
    constexpr std::array<unsigned, 4> kGenerators{0133, 0171, 0145, 0133};
    unsigned state = 0;
    auto shiftIn = [&](unsigned bit) {
        state = ((state >> 1) | (bit << 6)) & 0x7F;
        for (unsigned g : kGenerators) {
            out.push_back(static_cast<std::uint8_t>(std::popcount(state & g) & 1));
        }
    };
    for (std::uint8_t bit : bits) {
        shiftIn(bit & 1u);
    }
    for (int tail = 0; tail < 6; ++tail) {
        shiftIn(0);
    }
}

const std::array<std::uint8_t, 32>& PuncturingVector(unsigned n) {
    static const auto kVectors = MakePuncturingVectors();
    return kVectors[(n - 1) % 24];
}

const std::array<std::uint8_t, 24>& TailPuncturingVector() {
    static constexpr std::array<std::uint8_t, 24> kTail{1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0,
                                                        1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0};
    return kTail;
}

std::size_t ProtectionProfile::InputBits() const {
    std::size_t bits = 0;
    for (std::size_t r = 0; r < runCount; ++r) {
        bits += runs[r].blocks * 32u;
    }
    return bits;
}

std::size_t ProtectionProfile::OutputBits() const {
    std::size_t bits = 12 + paddingBits;  // the tail keeps 12 of its 24 bits
    for (std::size_t r = 0; r < runCount; ++r) {
        bits += runs[r].blocks * 4u * (8u + runs[r].vector);
    }
    return bits;
}

const ProtectionProfile& FicProfile() {
    static const ProtectionProfile kFic{{{{21, 16}, {3, 15}}}, 2, 0};
    return kFic;
}

std::optional<ProtectionProfile> SubChannelProfile(const SubChannel& subChannel) {
    ProtectionProfile profile;
    if (subChannel.shortForm) {
        if (subChannel.tableIndex >= kUepPuncturing.size()) {
            return std::nullopt;
        }
        const UepPuncturing& entry = kUepPuncturing[subChannel.tableIndex];
        for (std::size_t r = 0; r < 4; ++r) {
            if (entry.blocks[r] != 0) {
                profile.runs[profile.runCount++] = {entry.blocks[r], entry.vectors[r]};
            }
        }
        profile.paddingBits = entry.padding;
        return profile;
    }
    if (subChannel.protectionLevel < 1 || subChannel.protectionLevel > 4 || subChannel.option > 1) {
        return std::nullopt;
    }
    const EepRule& rule = (subChannel.option == 0 ? kEepA : kEepB)[subChannel.protectionLevel - 1u];
    const int n = subChannel.sizeCu / rule.cuPerStep;
    if (n < 1 || subChannel.sizeCu % rule.cuPerStep != 0) {
        return std::nullopt;
    }
    if (subChannel.option == 0 && subChannel.protectionLevel == 2 && n == 1) {
        profile.runs = {{{5, 13}, {1, 12}}};  // 2-A at 8 kbit/s has its own pair
    } else {
        profile.runs = {{{static_cast<std::uint16_t>(rule.a * n + rule.b), rule.pi1},
                         {static_cast<std::uint16_t>(rule.c * n + rule.d), rule.pi2}}};
    }
    profile.runCount = 2;
    return profile;
}

void Puncture(std::span<const std::uint8_t> mother, const ProtectionProfile& profile,
              std::vector<std::uint8_t>& out) {
    std::size_t at = 0;
    for (std::size_t r = 0; r < profile.runCount; ++r) {
        const auto& vector = PuncturingVector(profile.runs[r].vector);
        for (std::size_t i = 0; i < profile.runs[r].blocks * 128u && at < mother.size(); ++i) {
            if (vector[i % 32] != 0) {
                out.push_back(mother[at]);
            }
            ++at;
        }
    }
    const auto& tail = TailPuncturingVector();
    for (std::size_t i = 0; i < tail.size() && at < mother.size(); ++i, ++at) {
        if (tail[i] != 0) {
            out.push_back(mother[at]);
        }
    }
    out.insert(out.end(), profile.paddingBits, 0);
}

void Depuncture(std::span<const std::int8_t> received, const ProtectionProfile& profile,
                std::vector<std::int8_t>& mother) {
    mother.assign(4 * (profile.InputBits() + 6), 0);
    std::size_t at = 0;
    std::size_t in = 0;
    auto take = [&] { return in < received.size() ? received[in++] : std::int8_t{0}; };
    for (std::size_t r = 0; r < profile.runCount; ++r) {
        const auto& vector = PuncturingVector(profile.runs[r].vector);
        for (std::size_t i = 0; i < profile.runs[r].blocks * 128u; ++i, ++at) {
            if (vector[i % 32] != 0) {
                mother[at] = take();
            }
        }
    }
    for (std::uint8_t keep : TailPuncturingVector()) {
        if (keep != 0) {
            mother[at] = take();
        }
        ++at;
    }
}

void ViterbiDecoder::Decode(std::span<const std::int8_t> mother, std::vector<std::uint8_t>& bits) {
    // A state is the six newest input bits, the newest highest, as in the encoder's register.
    // States j and j + 32 both come from 2j and 2j + 1 (a butterfly). All four generators tap
    // the newest and the oldest register bit, so flipping either flips all four code bits:
    // the butterfly's four branches share one metric up to its sign. kSign holds, per code
    // bit, +1 or -1 for the branch from 2j into j.
    static const auto kSign = [] {
        constexpr std::array<unsigned, 4> kGenerators{0133, 0171, 0145, 0133};
        std::array<std::array<std::int16_t, 32>, 4> sign{};
        for (unsigned j = 0; j < 32; ++j) {
            for (std::size_t g = 0; g < 4; ++g) {
                const bool one = (std::popcount((2 * j) & kGenerators[g]) & 1) != 0;
                sign[g][j] = one ? -1 : 1;
            }
        }
        return sign;
    }();
    bits.clear();
    const std::size_t steps = mother.size() / 4;
    if (steps <= 6) {
        return;
    }
    m_decisions.resize(steps * 64);
    // Metrics stay relative to state 0: the spread of a K=7 trellis stays within a few
    // thousand for 8-bit soft values, far inside int16.
    alignas(32) std::array<std::int16_t, 64> metric;
    metric.fill(-4096);
    metric[0] = 0;
    alignas(32) std::array<std::int16_t, 64> next;
    alignas(32) std::array<std::int16_t, 32> even, odd, branch;
    for (std::size_t t = 0; t < steps; ++t) {
        const std::int8_t* s = mother.data() + 4 * t;
        for (unsigned j = 0; j < 32; ++j) {
            branch[j] = static_cast<std::int16_t>(kSign[0][j] * s[0] + kSign[1][j] * s[1] +
                                                  kSign[2][j] * s[2] + kSign[3][j] * s[3]);
            even[j] = metric[2 * j];
            odd[j] = metric[2 * j + 1];
        }
        std::uint8_t* decisions = m_decisions.data() + 64 * t;
        for (unsigned j = 0; j < 32; ++j) {
            const int a = even[j] + branch[j];
            const int b = odd[j] - branch[j];
            const int c = even[j] - branch[j];
            const int d = odd[j] + branch[j];
            next[j] = static_cast<std::int16_t>(b > a ? b : a);
            next[j + 32] = static_cast<std::int16_t>(d > c ? d : c);
            decisions[j] = b > a;
            decisions[j + 32] = d > c;
        }
        const std::int16_t reference = next[0];
        for (unsigned i = 0; i < 64; ++i) {
            metric[i] = static_cast<std::int16_t>(next[i] - reference);
        }
    }
    bits.resize(steps - 6);
    unsigned state = 0;  // the tail returns the encoder to zero
    for (std::size_t t = steps; t-- > 0;) {
        if (t < bits.size()) {
            bits[t] = static_cast<std::uint8_t>(state >> 5);
        }
        state = ((state & 31) << 1) | m_decisions[64 * t + state];
    }
}

std::mutex& FftwPlannerMutex() {
    static std::mutex mutex;
    return mutex;
}

const std::array<std::int16_t, kCarriers>& CarrierOfSymbol() {
    static const auto kTable = MakeCarrierOfSymbol();
    return kTable;
}

const std::array<std::complex<float>, kFftSize>& PhaseReference() {
    static const auto kSymbol = MakePhaseReference();
    return kSymbol;
}

}  // namespace broadcast::dab
