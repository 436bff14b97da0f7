#include "tools/mkbroadcast/config.h"

namespace mkbroadcast {

std::string_view DemoConfig() {
    return R"(# Two Korean band III ensembles, each with an audio programme, a video service and a
# TPEG data service (preferred SId 0xF1E00448 on 8B, fallback 0xF1E00445 on 10B).
frames 2500

ensemble 183008 0xE0B8 "Demo DMB 8B"
subchannel 1 uep 35
subchannel 2 eep 384 3
subchannel 3 eep 64 3
audio 0xE1B1 "Demo Radio 8B" 1
video 0xE1B2 "Demo TV 8B" 2
tpeg 0xF1E00448 "TPEG Traffic 8B" 3 0x100 sid 1.8.8 name "Demo TPEG 8B" period 625

ensemble 195008 0xE0AB "Demo DMB 10B"
subchannel 4 uep 35
subchannel 5 eep 384 3
subchannel 6 eep 64 3 fec
audio 0xE2B1 "Demo Radio 10B" 4
video 0xE2B2 "Demo TV 10B" 5
tpeg 0xF1E00445 "TPEG Traffic 10B" 6 0x101 sid 1.10.8 name "Demo TPEG 10B" period 500
)";
}

}  // namespace mkbroadcast
