// The frequencies a scan walks, per receiving region (country code and band
// index as the tuner's region command takes them), in kHz.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace devices {

inline constexpr std::int32_t kCountryKorea = 82;
inline constexpr std::int32_t kCountryChina = 86;

// The table of a region, or nullopt for a region the tuner does not know.
std::optional<std::span<const std::int32_t>> FrequencyTable(std::int32_t country,
                                                            std::int32_t band);

}  // namespace devices
