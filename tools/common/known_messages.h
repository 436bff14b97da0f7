// The registered messages this system uses, by name, for printing.
#pragma once

#include <string>

#include "platform/types.h"

namespace tools {

// Registers the system's message names (call after StartBusTransport, so the
// numbers agree with the other processes). The name of `message`, or an
// empty string when it is none of them.
std::string KnownMessageName(platform::UINT message);

}  // namespace tools
