// Priorities of media streaming threads.
//
// The device ranks thread priorities from 0 (highest) to 255 (lowest), normal
// being 251; HKLM\SOFTWARE\Microsoft\DirectShow\ThreadPriority may give a value
// per kind of thread ("Normal", "Highest", ...). Linux threads under
// SCHED_OTHER are ranked by nice value instead: each device step away from
// normal is 5 nice steps, clamped to -20..19, so 250 and 249 are above normal,
// 248 and 247 (and anything higher) take the strongest nice, and 252..255 run
// below normal. Real-time scheduling is never used: a busy real-time thread
// can starve the whole head unit.
#pragma once

#include <optional>
#include <string_view>

#include "platform/types.h"

namespace platform {

inline constexpr DWORD kDeviceNormalPriority = 251;

// The nice value standing for a device priority.
int NiceFromDevicePriority(DWORD devicePriority);

// The configured device priority of a kind of thread, if the registry has it.
std::optional<DWORD> ConfiguredThreadPriority(std::u16string_view valueName);

// Gives the calling thread the nice value for `devicePriority`. A raise the
// process is not allowed (no CAP_SYS_NICE, RLIMIT_NICE too low) is accepted:
// the thread keeps its priority, the first such refusal in the process is
// logged, and false is returned.
bool ApplyDevicePriorityToCurrentThread(DWORD devicePriority);

}  // namespace platform
