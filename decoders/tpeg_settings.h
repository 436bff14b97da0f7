// The TPEG library's settings in the registry of the device root, read once
// when the library is initialised:
//
//   HKLM\SOFTWARE\dmbtpeg\TPEG
//     WriteIntervalMs   REG_DWORD  least time between two writes of one data
//                                  file, platform ms; 0 = none; default 2000,
//                                  at most kMaxWriteIntervalMs
//   HKLM\SOFTWARE\dmbtpeg\TPEG\Applications
//     <data file name>  REG_SZ     the AIDs filling that file, hex, separated
//                                  by spaces or commas (broadcast::ParseAidList);
//                                  empty: none; absent: the defaults
//
// A value that cannot be used is named in one log line and its default kept:
// an integrator's typing error must not cost the data service.
#pragma once

#include <cstdint>
#include <string_view>

#include "broadcast/tpeg_application.h"

namespace decoders {

inline constexpr std::u16string_view kTpegSettingsKey = u"SOFTWARE\\dmbtpeg\\TPEG";
inline constexpr std::u16string_view kApplicationsKey = u"SOFTWARE\\dmbtpeg\\TPEG\\Applications";
inline constexpr std::u16string_view kWriteIntervalValue = u"WriteIntervalMs";

inline constexpr std::uint32_t kDefaultWriteIntervalMs = 2000;
// Longer would keep traffic news from the driver for more than a minute.
inline constexpr std::uint32_t kMaxWriteIntervalMs = 60000;

broadcast::ApplicationAids ReadApplicationAids();
std::uint32_t ReadWriteIntervalMs();

}  // namespace decoders
