// One line of the bus transport's diagnostics in the debug output.
#pragma once

#include <string_view>

namespace platform {

// Writes "dmbtpeg bus: <text>\n".
void BusLog(std::string_view text);

}  // namespace platform
