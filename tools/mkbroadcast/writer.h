#pragma once

#include <cstdio>
#include <string>

#include "tools/mkbroadcast/plan.h"

namespace mkbroadcast {

// Writes one RAW ETI file per ensemble, named by its frequency in kHz, into folder (created if
// missing). Progress lines go to progress when it is not null.
bool WriteBroadcast(const BroadcastPlan& plan, const std::string& folder, std::FILE* progress,
                    std::string& error);

}  // namespace mkbroadcast
