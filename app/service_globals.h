// Process-wide state of the service and the numbers of its messages and
// timers. There is one main window per process, so these belong to it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/service_protocol.h"
#include "platform/types.h"

// Reception is set up (1) or given up to the camera manager (0).
extern std::atomic<std::int32_t> gbReceptionOn;
// Set once by the first end request; from then on reception is neither
// started nor given up again.
extern std::atomic<std::int32_t> gbServiceClosing;
// Consecutive signal polls without signal (0 to 3).
extern std::atomic<std::int32_t> gnNoSignalCount;
// Repeated signal-present notifications (0 to 2).
extern std::atomic<std::int32_t> gnSignalReport;
// Channel scan running, and the request to abort it.
extern std::atomic<std::int32_t> gbScanRunning;
extern std::atomic<std::int32_t> gbScanAbort;

// The process's exit status, for the service manager: a requested end and a
// second instance exit 0.
inline constexpr int kExitStartFailed = 1;
// The T-DMB player kept the tuner past the start-up wait: worth a restart
// after a pause.
inline constexpr int kExitTunerBusy = 75;
// A stop signal whose shutdown did not finish within kStopGraceMs.
inline constexpr int kExitStopForced = 70;
// The bus connection was lost: the names and windows of other processes are
// gone with it, so nothing could be announced any more. A fresh start takes
// the names again.
inline constexpr int kExitBusLost = 69;
inline constexpr platform::DWORD kStopGraceMs = 30000;
extern std::atomic<int> gnExitStatus;
// A thread that did not end when asked still uses the main window's objects:
// the process then ends without destroying them.
extern std::atomic<std::int32_t> gbThreadsLeftRunning;

// The main window while it exists; for the thread that turns stop signals
// into its close message.
extern std::atomic<platform::HWND> gMainWindow;

// Registered at process start.
extern std::atomic<platform::UINT> TC_SUSPEND_ACK;
// Registered on the first message the main window handles.
extern std::atomic<platform::UINT> TCC_TDMB_RESET_CHANNEL_MSG;
extern std::atomic<platform::UINT> TCC_TDMB_AUDIOCHANGE_MSG;
extern std::atomic<platform::UINT> TCC_TDMB_RECONFIG_MSG;
// This service's own request to scan the channels (kScanRequestName).
extern std::atomic<platform::UINT> DMBTPEG_CHANNEL_SCAN_MSG;

inline constexpr platform::UINT_PTR ID_TIMER_SIGNAL = 9002;
inline constexpr platform::UINT_PTR ID_TIMER_CAMERA = 9012;
inline constexpr platform::UINT_PTR ID_TIMER_START = 9013;

// Registers the messages known from process start.
void RegisterServiceMessages();
