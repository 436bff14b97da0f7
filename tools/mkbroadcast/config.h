#pragma once

#include <string>
#include <string_view>

#include "tools/mkbroadcast/plan.h"

namespace mkbroadcast {

// Parses a broadcast description (format in docs/broadcast.md). On failure returns false with
// error naming the line and what is wrong.
bool ParseConfig(std::string_view text, BroadcastPlan& plan, std::string& error);

// The description of the built-in demo broadcast.
std::string_view DemoConfig();

}  // namespace mkbroadcast
