// libFuzzer target: the ETI frame reader takes any bytes, every view it returns lies inside the
// input, and the FIC it finds goes through the FIC decoder without trouble, component lookups
// included.
#include <cstddef>
#include <cstdint>
#include <span>

#include "broadcast/eti.h"
#include "broadcast/fic.h"

namespace {

bool Inside(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> rest(data, size);
    broadcast::FicDecoder fic;
    // A few frames in a row let one FIC decoder see more than one revision of the ensemble.
    for (int frames = 0; frames < 4 && !rest.empty(); ++frames) {
        const broadcast::EtiFrameResult result = broadcast::ParseEtiFrame(rest);
        if (result.error != broadcast::EtiError::None) {
            break;
        }
        const broadcast::EtiFrameView& frame = result.frame;
        if (frame.streamCount > broadcast::kEtiMaxStreams || frame.size > rest.size() ||
            !Inside(frame.fic, rest)) {
            __builtin_trap();
        }
        for (std::size_t i = 0; i < frame.streamCount; ++i) {
            const broadcast::EtiStreamView& stream = frame.streams[i];
            if (!Inside(stream.data, rest) || frame.FindStream(stream.subChannelId) == nullptr) {
                __builtin_trap();
            }
        }
        fic.PushFic(frame.fic);
        rest = rest.subspan(rest.size() < broadcast::kEtiFrameSize ? rest.size()
                                                                   : broadcast::kEtiFrameSize);
    }
    if (fic.HasEnsembleInfo()) {
        const broadcast::EnsembleDescription ensemble = fic.Ensemble();
        static_cast<void>(fic.IsComplete());
        // The tuner's lookup of each listed component, secondary ones included.
        for (const broadcast::Service& service : ensemble.services) {
            static_cast<void>(fic.TpegComponent(service.sid, service.subChannelId));
        }
    }
    return 0;
}
