#include "platform/bus_selection.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace platform {

BusKind SelectedBus() {
    const char* env = std::getenv("DMBTPEG_BUS");
    std::string_view value = env != nullptr ? env : "";
    if (value.empty() || value == "session") {
        return BusKind::Session;
    }
    if (value == "system") {
        return BusKind::System;
    }
    std::fprintf(stderr, "dmbtpeg: DMBTPEG_BUS='%s' is neither 'session' nor 'system'\n", env);
    std::exit(2);
}

}  // namespace platform
