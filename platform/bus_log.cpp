#include "platform/bus_log.h"

#include <string>

#include "platform/log.h"
#include "platform/text.h"

namespace platform {

void BusLog(std::string_view text) {
    std::string line = "dmbtpeg bus: ";
    line += text;
    line += '\n';
    DebugOutput(FromUtf8(line));
}

}  // namespace platform
