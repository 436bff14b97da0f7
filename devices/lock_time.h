// How long the virtual tuner takes to lock onto a frequency: a real tuner
// needs some 150 ms per frequency, and answering at once would hide the
// service's races between a tune and what follows it.
//
// DMBTPEG_TUNER_LOCK_MS holds the time in platform milliseconds (decimal,
// 0 for none), so DMBTPEG_TIME_SCALE shortens it like every other wait.
#pragma once

#include <optional>
#include <string_view>

#include "platform/types.h"

namespace devices {

inline constexpr char kTunerLockVariable[] = "DMBTPEG_TUNER_LOCK_MS";
inline constexpr platform::DWORD kDefaultLockMs = 150;
// Above this a value is taken for a typo: no tuner takes ten seconds to lock.
inline constexpr platform::DWORD kMaxLockMs = 10000;

// The value of plain decimal digits from 0 to kMaxLockMs; nothing otherwise.
std::optional<platform::DWORD> ParseLockTime(std::string_view text);

// The lock time in force. The variable is read at every call, so it may
// change while the process runs. Unset or empty means the default, and so
// does an unusable value, logged once until the variable changes.
platform::DWORD TunerLockMs();

}  // namespace devices
