#include "platform/bus_transport.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "platform/bus_selection.h"
#include "platform/bus_window_transport.h"
#include "platform/window_transport.h"

namespace platform {
namespace {

std::mutex gLock;
bool gStarted = false;

// Never destroyed: a thread still inside a transport call when the process
// exits must not find it gone.
BusWindowTransport& Transport() {
    static auto* transport = new BusWindowTransport;
    return *transport;
}

}  // namespace

bool StartBusTransport() {
    std::lock_guard lock(gLock);
    if (gStarted) {
        return true;
    }
    std::string error;
    if (!Transport().Start(&error)) {
        std::fprintf(stderr,
                     "dmbtpeg: no D-Bus %s bus reachable (%s); only this process's windows are "
                     "visible\n",
                     SelectedBus() == BusKind::System ? "system" : "session", error.c_str());
        return false;
    }
    InstallWindowTransport(&Transport());
    gStarted = true;
    return true;
}

void SetBusLostHandler(std::function<void()> onLost) {
    Transport().SetLostHandler(std::move(onLost));
}

void StopBusTransport() {
    std::lock_guard lock(gLock);
    if (!gStarted) {
        return;
    }
    InstallWindowTransport(nullptr);
    Transport().Stop();
    gStarted = false;
}

}  // namespace platform
