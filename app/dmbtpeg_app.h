// The application object: decides whether this process may run, waits for
// the foreground T-DMB player to close and runs the main window modally.
#pragma once

#include <atomic>

#include "platform/types.h"

class TDmbMain;

class CDmbTpegApp {
  public:
    // False ends the process at once (another instance runs, or the player
    // did not close in time); true after the main window's modal run ended.
    bool InitInstance();
    // Collects the quit request the ended main window left and returns the
    // process's exit code.
    int Run();

    // The main window while it runs modally; read by the signal thread.
    std::atomic<TDmbMain*> m_pMainWnd{nullptr};
};
