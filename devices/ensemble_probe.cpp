#include "devices/ensemble_probe.h"

#include "broadcast/eti_reader.h"
#include "broadcast/fic.h"

namespace devices {

EnsembleProbe ProbeEnsemble(const std::string& path, std::size_t maxFrames) {
    EnsembleProbe probe;
    broadcast::EtiReader reader;
    if (!reader.Open(path)) {
        return probe;
    }
    probe.readable = true;
    broadcast::FicDecoder fic;
    for (std::size_t i = 0; i < maxFrames && !fic.IsComplete(); ++i) {
        const broadcast::EtiReadResult result = reader.Next();
        if (result.status == broadcast::EtiReadStatus::End ||
            result.status == broadcast::EtiReadStatus::IoError) {
            break;
        }
        if (result.status == broadcast::EtiReadStatus::Frame) {
            ++probe.goodFrames;
            fic.PushFic(result.frame.fic);
        } else {
            ++probe.badFrames;
        }
    }
    probe.ensemble = fic.Ensemble();
    return probe;
}

}  // namespace devices
