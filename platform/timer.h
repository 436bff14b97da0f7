// Window timers.
//
// Any thread of the process may set or kill a timer; WM_TIMER (wParam = id,
// lParam = the timer procedure or 0) arrives on the window's thread. A timer
// never has more than one WM_TIMER pending: after a stall of several periods
// the window sees one WM_TIMER, and the next one a full period later.
#pragma once

#include "platform/types.h"

namespace platform {

using TIMERPROC = void (*)(HWND hwnd, UINT message, UINT_PTR id, DWORD tickCount);

// Periods shorter than this are raised to it.
inline constexpr UINT USER_TIMER_MINIMUM = 10;

// Starts timer `id` of `hwnd` with a period of `ms` platform milliseconds
// (scaled by the time scale). Setting an id that is already running restarts
// it with the new period. Returns `id`, or 1 when id is 0; 0 with
// ERROR_INVALID_WINDOW_HANDLE when hwnd is not a window of this process
// (thread timers without a window are not offered).
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, TIMERPROC proc);

// Stops the timer; a WM_TIMER that has not been retrieved yet will not come.
// FALSE if there was no such timer.
BOOL KillTimer(HWND hwnd, UINT_PTR id);

}  // namespace platform
