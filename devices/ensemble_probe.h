// What a recording's FIC says about its ensemble, read from its first frames,
// as a receiver learns it after tuning.
#pragma once

#include <cstddef>
#include <string>

#include "broadcast/ensemble.h"

namespace devices {

// The FIC carousel repeats within a few frames; a recording whose description
// is still incomplete after this many frames is taken as far as it got.
inline constexpr std::size_t kEnsembleProbeFrames = 250;

struct EnsembleProbe {
    bool readable = false;  // the file opened as an ETI recording
    std::size_t goodFrames = 0;
    std::size_t badFrames = 0;
    broadcast::EnsembleDescription ensemble;  // empty unless a valid frame had a FIC
};

// Reads at most `maxFrames` frames, fewer once the description is complete.
EnsembleProbe ProbeEnsemble(const std::string& path, std::size_t maxFrames = kEnsembleProbeFrames);

}  // namespace devices
