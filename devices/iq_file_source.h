// The file source: IQ recordings in a folder, one per frequency, played in a loop.
#pragma once

#include <memory>
#include <string>

#include "devices/iq_source.h"

namespace devices {

// Fails when `folder` is not a folder. Recordings are looked up at each Tune.
std::unique_ptr<IqSource> OpenIqFileSource(const std::string& folder, std::string& error);

}  // namespace devices
