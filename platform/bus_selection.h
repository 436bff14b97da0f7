// Which bus the process joins: the session bus unless DMBTPEG_BUS=system.
#pragma once

namespace platform {

enum class BusKind { Session, System };

// DMBTPEG_BUS unset, empty or "session" selects the session bus (its address
// from DBUS_SESSION_BUS_ADDRESS), "system" the system bus. Any other value
// stops the process with status 2 and a message on stderr.
BusKind SelectedBus();

}  // namespace platform
