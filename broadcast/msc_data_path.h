// The word that travels with every MSC block from the tuner to the TDC library (the third
// argument of the data callback and of FillMSCData): the sub-channel id, and what the FIC
// (FIG 0/3 and FIG 0/14) says about the TPEG component of the tuned service.
//
//   bits 0-5    sub-channel id
//   bits 8-17   packet address (1-1023)
//   bit 18      DG flag as FIG 0/3 sends it: 1 = no MSC data groups, the stream is carried
//               directly in the packets' data fields
//   bits 19-20  FEC scheme of the sub-channel from FIG 0/14 (0 none, 1 packet-mode RS FEC)
//   bits 21-26  DSCTy
//   bit 30      time block: the call carries no MSC data but the ensemble's date and time
//               from FIG 0/10, as 8 bytes holding the UTC seconds since 1970 (signed,
//               big-endian); bits 0-5 still name the sub-channel, the others are 0
//   bit 31      the FIC gave the fields of bits 8-26; when clear, they are 0 and mean nothing
//
// The tuner makes the time block call when a frame brought a FIG 0/10, before that frame's
// MSC block and with the same frame counter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace broadcast {

struct PacketComponentInfo {
    bool known = false;
    std::uint16_t address = 0;
    bool dgFlag = false;
    std::uint8_t fecScheme = 0;
    std::uint8_t dscty = 0;

    friend constexpr bool operator==(const PacketComponentInfo&,
                                     const PacketComponentInfo&) = default;
};

inline constexpr std::uintptr_t kMscDataWordKnown = std::uintptr_t{1} << 31;
inline constexpr std::uintptr_t kMscDataWordTime = std::uintptr_t{1} << 30;
inline constexpr std::size_t kTimeBlockSize = 8;

constexpr std::uintptr_t PackMscDataWord(std::uint8_t subChannelId,
                                         const PacketComponentInfo& info) {
    std::uintptr_t word = subChannelId & 0x3Fu;
    if (!info.known) {
        return word;
    }
    word |= std::uintptr_t{info.address & 0x3FFu} << 8;
    word |= std::uintptr_t{info.dgFlag ? 1u : 0u} << 18;
    word |= std::uintptr_t{info.fecScheme & 0x3u} << 19;
    word |= std::uintptr_t{info.dscty & 0x3Fu} << 21;
    return word | kMscDataWordKnown;
}

constexpr PacketComponentInfo UnpackMscDataWord(std::uintptr_t word) {
    PacketComponentInfo info;
    if ((word & kMscDataWordKnown) == 0) {
        return info;
    }
    info.known = true;
    info.address = static_cast<std::uint16_t>((word >> 8) & 0x3FF);
    info.dgFlag = ((word >> 18) & 1) != 0;
    info.fecScheme = static_cast<std::uint8_t>((word >> 19) & 0x3);
    info.dscty = static_cast<std::uint8_t>((word >> 21) & 0x3F);
    return info;
}

constexpr std::uint8_t SubChannelOf(std::uintptr_t word) {
    return static_cast<std::uint8_t>(word & 0x3F);
}

constexpr bool IsTimeBlock(std::uintptr_t word) {
    return (word & kMscDataWordTime) != 0;
}

constexpr std::uintptr_t TimeBlockWord(std::uint8_t subChannelId) {
    return (subChannelId & 0x3Fu) | kMscDataWordTime;
}

constexpr std::array<std::uint8_t, kTimeBlockSize> EncodeTimeBlock(std::int64_t utcSeconds) {
    const auto value = static_cast<std::uint64_t>(utcSeconds);
    std::array<std::uint8_t, kTimeBlockSize> bytes{};
    for (std::size_t i = 0; i < kTimeBlockSize; ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * (kTimeBlockSize - 1 - i)));
    }
    return bytes;
}

// bytes holds kTimeBlockSize bytes.
constexpr std::int64_t DecodeTimeBlock(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kTimeBlockSize; ++i) {
        value = (value << 8) | bytes[i];
    }
    return static_cast<std::int64_t>(value);
}

}  // namespace broadcast
