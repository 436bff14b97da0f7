#include "broadcast/crc.h"

#include <array>

namespace broadcast {
namespace {

using CrcTables = std::array<std::array<std::uint16_t, 256>, 8>;

// Slicing-by-8: table[k][b] is the register contribution of byte b followed by k zero bytes, so
// eight input bytes fold in with eight independent look-ups instead of a serial chain.
constexpr CrcTables MakeTables() {
    CrcTables tables{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::uint16_t reg = static_cast<std::uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = static_cast<std::uint16_t>((reg & 0x8000) ? (reg << 1) ^ 0x1021 : reg << 1);
        }
        tables[0][byte] = reg;
    }
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (unsigned byte = 0; byte < 256; ++byte) {
            const std::uint16_t prev = tables[k - 1][byte];
            tables[k][byte] = static_cast<std::uint16_t>((prev << 8) ^ tables[0][prev >> 8]);
        }
    }
    return tables;
}

constexpr CrcTables kTables = MakeTables();

}  // namespace

std::uint16_t Crc16Update(std::uint16_t reg, std::span<const std::uint8_t> bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    while (n >= 8) {
        const unsigned b0 = p[0] ^ (reg >> 8);
        const unsigned b1 = p[1] ^ (reg & 0xFF);
        reg = static_cast<std::uint16_t>(kTables[7][b0] ^ kTables[6][b1] ^ kTables[5][p[2]] ^
                                         kTables[4][p[3]] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^
                                         kTables[1][p[6]] ^ kTables[0][p[7]]);
        p += 8;
        n -= 8;
    }
    while (n-- > 0) {
        reg = static_cast<std::uint16_t>((reg << 8) ^ kTables[0][(reg >> 8) ^ *p++]);
    }
    return reg;
}

}  // namespace broadcast
