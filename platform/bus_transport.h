// Windows of other processes over D-Bus.
//
// Call StartBusTransport at the start of main, before any window message is
// registered (numbers of registered messages are agreed through it), and
// StopBusTransport before returning. The bus is the session bus, or the
// system bus with DMBTPEG_BUS=system. See docs/bus.md for the interface.
#pragma once

namespace platform {

// Connects, starts the bus thread and installs the window transport. When no
// bus is reachable it writes one line to stderr and returns false; the
// process then sees only its own windows. True at once if already started.
bool StartBusTransport();

// Removes the transport and closes the connection; sends to other processes
// still waiting return 0. Idempotent, and safe when the start failed.
void StopBusTransport();

}  // namespace platform
