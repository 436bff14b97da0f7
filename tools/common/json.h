// Just enough JSON for one-object-per-line tool output.
#pragma once

#include <string>
#include <string_view>

namespace tools {

// `text` (UTF-8) as a quoted JSON string.
std::string JsonString(std::string_view text);

}  // namespace tools
