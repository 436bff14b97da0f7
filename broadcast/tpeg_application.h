#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace broadcast {

// The ten TPEG applications of the service: the data file each one produces, the event code
// announcing it, the kind code the navigation application knows it by, and its AID on air.
struct TpegApplication {
    std::string_view name;
    std::uint16_t aid = 0;
    std::uint16_t eventCode = 0;
    std::string_view fileName;
    std::uint8_t kindCode = 0;
};

inline constexpr std::size_t kTpegApplicationCount = 10;

// In event-code order; the table never changes at run time.
std::span<const TpegApplication, kTpegApplicationCount> TpegApplications();
const TpegApplication* FindApplicationByAid(std::uint16_t aid);
const TpegApplication* FindApplicationByEventCode(std::uint16_t eventCode);

}  // namespace broadcast
