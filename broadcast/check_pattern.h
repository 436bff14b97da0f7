#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace broadcast {

// A byte pattern that checks a radio path end to end. Each 24 ms frame of a sub-channel starts
// with its frame number (16 bits, big-endian) and goes on with bytes that depend on that number
// and their place, so what a receiver decodes can be checked byte for byte without knowing
// where it started, and a bit that arrives in the wrong frame shows.
inline std::uint8_t CheckPatternByte(std::uint16_t frame, std::size_t at) {
    std::uint32_t x = frame * 2654435761u ^ static_cast<std::uint32_t>(at) * 40503u;
    x ^= x >> 13;
    return static_cast<std::uint8_t>((x * 0x5BD1E995u) >> 24);
}

inline void FillCheckPattern(std::uint32_t frame, std::span<std::uint8_t> out) {
    const auto number = static_cast<std::uint16_t>(frame);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = i == 0   ? static_cast<std::uint8_t>(number >> 8)
                 : i == 1 ? static_cast<std::uint8_t>(number)
                          : CheckPatternByte(number, i);
    }
}

// The frame number of a frame that is all pattern, or -1.
inline int CheckPatternFrame(std::span<const std::uint8_t> frame) {
    if (frame.size() < 2) {
        return -1;
    }
    const auto number = static_cast<std::uint16_t>(frame[0] << 8 | frame[1]);
    for (std::size_t i = 2; i < frame.size(); ++i) {
        if (frame[i] != CheckPatternByte(number, i)) {
            return -1;
        }
    }
    return number;
}

}  // namespace broadcast
