// dmbtpegd: receives the TPEG data service, has it decoded and announces
// every finished file to the navigation application. It takes no arguments;
// the platform's settings come from the environment.
#include <signal.h>

#include <cstdlib>
#include <thread>

#include "app/dmbtpeg_app.h"
#include "app/service_globals.h"
#include "platform/bus_transport.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/window_messages.h"

namespace {

CDmbTpegApp theApp;

// SIGTERM and SIGINT (a service manager stopping the service, or Ctrl-C) end
// the service the way its window's close message does, so the shutdown
// sequence runs. Before the main window exists there is nothing to shut down.
void WatchStopSignals(const sigset_t& signals) {
    std::thread([signals] {
        int signal = 0;
        while (sigwait(&signals, &signal) == 0) {
            platform::HWND hwnd = gMainWindow.load();
            if (hwnd == nullptr) {
                std::_Exit(0);
            }
            platform::PostMessage(hwnd, platform::WM_CLOSE, 0, 0);
        }
    }).detach();
}

}  // namespace

int main() {
    platform::CheckEnvironment();
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    // Blocked before any thread starts, so every thread inherits it and only
    // the watcher receives them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    WatchStopSignals(signals);
    // Other programs' windows are reached over the bus; without one the
    // service still runs and sees only its own window.
    platform::StartBusTransport();
    RegisterServiceMessages();
    int status = theApp.InitInstance() ? theApp.Run() : 0;
    platform::StopBusTransport();
    return status;
}
