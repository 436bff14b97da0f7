// dmbtpegd: receives the TPEG data service, has it decoded and announces
// every finished file to the navigation application. It takes no arguments
// but --help and --version, which answer without starting anything; the
// platform's settings come from the environment.
//
// Exit status: 0 for a requested end or a second instance, kExitStartFailed
// when reception cannot be set up at all, kExitTunerBusy when the T-DMB player
// kept the tuner, kExitStopForced when a stop signal's shutdown overran,
// kExitBusLost when the bus connection went away, 2 for a command line with
// anything but --help or --version.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include "app/dmbtpeg_app.h"
#include "app/service_globals.h"
#include "dmbtpeg_version.h"
#include "platform/bus_transport.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/message_queue.h"
#include "platform/window_messages.h"

namespace {

constexpr char kProgram[] = "dmbtpegd";
constexpr char kUsage[] = "usage: dmbtpegd [--help | --version]\n";
constexpr char kHelp[] =
    "\n"
    "Receives the TPEG data service, has it decoded into TPEG data files in the\n"
    "device root and announces every file to the navigation application. Runs\n"
    "until the navigation application ends it, or SIGTERM or SIGINT.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n";

CDmbTpegApp theApp;
std::atomic<bool> gbProcessEnding{false};

// SIGTERM and SIGINT (a service manager stopping the service, or Ctrl-C) end
// the service the way its window's close message does, so the shutdown
// sequence runs. The close message is sent, not posted: sent messages come
// before a full posted queue, and a thread waiting for a peer still handles
// them. Whatever holds the shutdown up, the process ends after a grace period.
// Before the main window exists there is nothing to shut down.
void WatchStopSignals(const sigset_t& signals) {
    std::thread([signals] {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) {
            return;
        }
        platform::HWND hwnd = gMainWindow.load();
        if (hwnd == nullptr) {
            std::_Exit(gnExitStatus.load());
        }
        const auto deadline = platform::Clock::now() + platform::ScaledDuration(kStopGraceMs);
        platform::SendMessageTimeout(hwnd, platform::WM_CLOSE, 0, 0, platform::SMTO_NORMAL,
                                     kStopGraceMs, nullptr);
        std::this_thread::sleep_until(deadline);
        if (!gbProcessEnding.load()) {
            platform::DebugPrintf(
                u"[Lumo DMB] stop signal: the service did not end within %u ms\r\n", kStopGraceMs);
            std::_Exit(kExitStopForced);
        }
    }).detach();
}

// Runs on the bus thread. The shutdown runs as for a stop signal, so the
// navigation application still hears the suspend acknowledgement where it
// can, and the status tells the service manager to start the service again.
void EndOnBusLoss() {
    platform::DebugPrintf(
        u"[Lumo DMB] bus connection lost: the service ends to be started again\r\n");
    gnExitStatus = kExitBusLost;
    ::kill(::getpid(), SIGTERM);
}

void ReportExitStatus(int status) {
    if (status == kExitStartFailed) {
        std::fputs(
            "dmbtpegd: reception cannot be set up (filter graph, tuner filters or worker thread)\n",
            stderr);
    } else if (status == kExitTunerBusy) {
        std::fputs("dmbtpegd: the T-DMB player kept the tuner; start again later\n", stderr);
    } else if (status == kExitBusLost) {
        std::fputs("dmbtpegd: the bus connection was lost\n", stderr);
    }
}

// Anything on the command line but --help or --version is a mistake: the
// service is started by a service manager and configured by its environment.
// Returns the exit status when the service is not to run.
std::optional<int> HandleArguments(int argc, char** argv) {
    enum { kVersion = 256 };
    static const option kLongOptions[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1;) {
        if (c == 'h') {
            std::printf("%s%s", kUsage, kHelp);
            return 0;
        }
        if (c == kVersion) {
            std::printf("%s %s\n", kProgram, kDmbTpegVersion);
            return 0;
        }
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (optind != argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> status = HandleArguments(argc, argv)) {
        return *status;
    }
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
    if (platform::StartBusTransport()) {
        platform::SetBusLostHandler(EndOnBusLoss);
    }
    RegisterServiceMessages();
    theApp.InitInstance();
    int status = theApp.Run();
    platform::SetBusLostHandler(nullptr);
    platform::StopBusTransport();
    ReportExitStatus(status);
    gbProcessEnding = true;
    return status;
}
