#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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
    // A TPEG stream recorded elsewhere (transport frames), sent as it is and over again in
    // place of the generated service; the stream shapes below do not apply to it.
    std::string streamFile;
    std::size_t packetSize = 96;
    // Shapes of the sub-channel a decoder meets on air.
    std::uint8_t repeat = 0;          // extra copies of every data group (repetition index)
    std::size_t segmentSize = 0;      // split transport frames into segments of this size; 0 off
    bool dgFlag = false;              // no data groups: the stream directly in the packets
    std::uint16_t sharedAddress = 0;  // another data service's MOT data groups here; 0 none
    // Shapes of the TPEG stream itself.
    TpegStreamShape shape;
};

struct EnsemblePlan {
    std::uint32_t frequencyKhz = 0;
    broadcast::EnsembleDescription ensemble;
    std::vector<TpegSource> tpeg;
    // FIGs a receiver must ignore, sent besides the real ones: the next configuration's
    // packet-mode components (C/N set) and another ensemble's services (OE set).
    bool nextConfigurationFigs = false;
    bool otherEnsembleFigs = false;
    // The date and time (FIG 0/10) of the first frame, in milliseconds since 1970 UTC; none sent
    // without it.
    std::optional<std::int64_t> firstFrameUtcMs;
    // Audio or video sub-channels that carry the check pattern instead of zero filler.
    std::vector<std::uint8_t> patternSubChannels;
};

// The packet-mode component that carries a TPEG source: the service's primary component, or a
// secondary one of a programme service.
inline const broadcast::Service* FindTpegComponent(const broadcast::EnsembleDescription& ensemble,
                                                   std::uint32_t sid) {
    for (const broadcast::Service& s : ensemble.services) {
        if (s.sid == sid && s.packetMode) {
            return &s;
        }
    }
    return nullptr;
}

struct BroadcastPlan {
    std::uint32_t frames = 2500;
    std::vector<EnsemblePlan> ensembles;
};

}  // namespace mkbroadcast
