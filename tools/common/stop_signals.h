// Ending a tool's message loop on SIGINT and SIGTERM.
#pragma once

#include "platform/types.h"

namespace tools {

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts
// later (call it first thing in main), and starts a thread that turns either
// signal into WM_QUIT (exit code 0) for the thread `loopThreadId`. A signal
// handler may not take the window system's locks; a thread waiting in
// sigwait may.
void QuitLoopOnStopSignals(platform::DWORD loopThreadId);

}  // namespace tools
