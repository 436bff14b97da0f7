#pragma once

#include <cstdint>
#include <span>

namespace broadcast {

// The 16-bit CRC of DAB (FIB, packet, data group, ETI) and TPEG frames: polynomial 0x1021,
// register preset 0xFFFF, MSB first, no reflection, result inverted (check value 0xD64E).
inline constexpr std::uint16_t kCrc16Preset = 0xFFFF;

// Advances a running register over bytes; feed pieces in order when the protected bytes are not
// contiguous (TPEG headers skip their own CRC field), then invert the register for the CRC.
std::uint16_t Crc16Update(std::uint16_t reg, std::span<const std::uint8_t> bytes);

inline std::uint16_t Crc16(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint16_t>(~Crc16Update(kCrc16Preset, bytes));
}

}  // namespace broadcast
