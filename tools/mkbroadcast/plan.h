#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "broadcast/ensemble.h"
#include "broadcast/tpeg_frame.h"
#include "tools/mkbroadcast/stream_shape.h"

namespace mkbroadcast {

// Where a TPEG service's application content comes from: the built-in generator, or a folder
// holding each application's data file by its name (TPRTM.BIN), optionally in numbered
// versions (TPRTM.BIN.1, TPRTM.BIN.2, ...) that take turns every change period.
struct TpegSource {
    std::uint32_t sid = 0;  // the DAB service this content belongs to
    broadcast::ServiceId tpegSid{1, 2, 3};
    std::string serviceName;
    std::uint32_t changePeriodFrames = 625;
    std::string contentFolder;  // empty: generated
    std::size_t packetSize = 96;
    TpegStreamShape shape;
};

struct EnsemblePlan {
    std::uint32_t frequencyKhz = 0;
    broadcast::EnsembleDescription ensemble;
    std::vector<TpegSource> tpeg;
};

struct BroadcastPlan {
    std::uint32_t frames = 2500;
    std::vector<EnsemblePlan> ensembles;
};

}  // namespace mkbroadcast
