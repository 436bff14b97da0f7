// Windows of other processes over D-Bus.
//
// Call StartBusTransport at the start of main, before any window message is
// registered (numbers of registered messages are agreed through it), and
// StopBusTransport before returning. The bus is the session bus, or the
// system bus with DMBTPEG_BUS=system. See docs/bus.md for the interface.
#pragma once

#include <functional>

namespace platform {

// Connects, starts the bus thread and installs the window transport. When no
// bus is reachable it writes one line to stderr and returns false; the
// process then sees only its own windows. True at once if already started.
bool StartBusTransport();

// Removes the transport and closes the connection; sends to other processes
// still waiting return 0. Idempotent, and safe when the start failed.
void StopBusTransport();

// When the connection is lost while the transport runs (the bus daemon went
// away), the transport writes one line to the debug output, forgets every
// window of other processes and calls `onLost` once. It runs on the bus
// thread: it may post messages or set events, but must not call
// StopBusTransport or send to other processes. Without a handler the process
// carries on with its own windows only, as without a bus. Any thread, at any
// time; null removes it. Stopping the transport never calls it.
void SetBusLostHandler(std::function<void()> onLost);

}  // namespace platform
