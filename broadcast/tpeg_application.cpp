#include "broadcast/tpeg_application.h"

#include <algorithm>
#include <array>

namespace broadcast {
namespace {

// RTM keeps its registered AID; the others use a private range, 0xF100 plus the kind code, that
// no registered TPEG application occupies.
constexpr std::array<TpegApplication, kTpegApplicationCount> kApplications{{
    {"CTT level 3", 0xF100, 6124, "TPCTTL3.BIN", 0},
    {"SDI", 0xF10B, 6125, "TPSDI.BIN", 11},
    {"POI", 0xF114, 6126, "TPPOI.BIN", 20},
    {"NWS", 0xF118, 6128, "TPNWS.BIN", 24},
    {"RTM", 0x0001, 6129, "TPRTM.BIN", 15},
    {"CTT summary", 0xF101, 6130, "TPCTTSUM.BIN", 1},
    {"CTT level 3 P", 0xF102, 6131, "TPCTTL3P.BIN", 2},
    {"SDI2", 0xF10C, 6133, "TPSDI2.BIN", 12},
    {"POI-OPS", 0xF116, 6136, "TPOIL.BIN", 22},
    {"POI-OPS2", 0xF115, 6138, "TPOIL2.BIN", 21},
}};

}  // namespace

std::span<const TpegApplication, kTpegApplicationCount> TpegApplications() {
    return kApplications;
}

const TpegApplication* FindApplicationByAid(std::uint16_t aid) {
    const auto it = std::find_if(kApplications.begin(), kApplications.end(),
                                 [aid](const TpegApplication& app) { return app.aid == aid; });
    return it == kApplications.end() ? nullptr : &*it;
}

const TpegApplication* FindApplicationByEventCode(std::uint16_t eventCode) {
    const auto it = std::find_if(
        kApplications.begin(), kApplications.end(),
        [eventCode](const TpegApplication& app) { return app.eventCode == eventCode; });
    return it == kApplications.end() ? nullptr : &*it;
}

}  // namespace broadcast
