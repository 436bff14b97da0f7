// The RTL2832U dongle through librtlsdr, loaded when a source is opened so
// that the plugin, and the other sources, work where it is not installed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "devices/iq_source.h"

namespace devices {

std::unique_ptr<IqSource> OpenRtlSdrSource(std::uint32_t index, std::string& error);

}  // namespace devices
