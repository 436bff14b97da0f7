// The platform's one clock and its time scale.
//
// DMBTPEG_TIME_SCALE (a positive decimal, default 1) multiplies every sleep,
// timed wait and timer period of the platform, so the service's real
// constants (7000 ms, 500 ms, ...) can run 20 times faster at 0.05. Service
// code always uses the real constants.
#pragma once

#include <chrono>

#include "platform/types.h"

namespace platform {

using Clock = std::chrono::steady_clock;

// The scale in force. An invalid DMBTPEG_TIME_SCALE stops the process with a
// clear message the first time the scale is needed; programs call
// CheckEnvironment() at start so that this happens before anything runs.
double TimeScale();

// Validates the platform's environment variables; exits with status 2 and a
// message on stderr when one is unusable.
void CheckEnvironment();

// Real duration of `ms` platform milliseconds under the time scale.
Clock::duration ScaledDuration(DWORD ms);

// Sleeps for `ms` platform milliseconds, scaled.
void Sleep(DWORD ms);

// Milliseconds since an arbitrary start, in platform (unscaled) time.
DWORD GetTickCount();

// For tests: replaces the scale for the process (must be positive).
void SetTimeScaleForTesting(double scale);

}  // namespace platform
