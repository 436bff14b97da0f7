#include "devices/scan_entry.h"

#include <algorithm>
#include <cassert>

namespace devices {
namespace {

constexpr std::size_t kLabelBytes = 20;

void PutLe32(std::span<std::uint8_t> out, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace

std::int32_t ScanType(const broadcast::Service& service) {
    switch (service.kind) {
        case broadcast::ServiceKind::Audio:
            return kScanTypeAudio;
        case broadcast::ServiceKind::Video:
            return kScanTypeVideo;
        case broadcast::ServiceKind::Data:
            break;
    }
    return kScanTypeData;
}

void WriteScanEntry(const broadcast::Service& service, std::uint16_t eid, std::int32_t frequencyKhz,
                    std::span<std::uint8_t> out) {
    assert(out.size() >= kScanEntryBytes);
    std::fill_n(out.begin(), kScanEntryBytes, std::uint8_t{0});
    PutLe32(out, 0, eid);
    PutLe32(out, 4, static_cast<std::uint32_t>(frequencyKhz));
    PutLe32(out, 8, service.sid);
    const std::size_t labelSize = std::min(service.label.size(), kLabelBytes);
    std::copy_n(service.label.begin(), labelSize, out.begin() + 12);
    PutLe32(out, 32, service.subChannelId);
    PutLe32(out, 36, static_cast<std::uint32_t>(ScanType(service)));
    PutLe32(out, 40, service.componentType);
}

}  // namespace devices
