// The tuner's 44-byte scan-result entry, little-endian:
//   0  int32  word 0: the ensemble identifier (EId)
//   4  int32  ensemble frequency in kHz
//   8  uint32 service identifier (16-bit ones zero-extended)
//  12  20 bytes label as broadcast (without the field's padding spaces), NUL padded
//  32  int32  sub-channel id
//  36  int32  type: 1 video (stream-mode MPEG-2 TS), 2 audio, 3 data
//  40  int32  word 10: the primary component's type (ASCTy for audio, DSCTy otherwise)
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "broadcast/ensemble.h"

namespace devices {

inline constexpr std::size_t kScanEntryBytes = 44;

inline constexpr std::int32_t kScanTypeVideo = 1;
inline constexpr std::int32_t kScanTypeAudio = 2;
inline constexpr std::int32_t kScanTypeData = 3;

std::int32_t ScanType(const broadcast::Service& service);

// Writes the entry of `service` into the first kScanEntryBytes of `out`.
void WriteScanEntry(const broadcast::Service& service, std::uint16_t eid, std::int32_t frequencyKhz,
                    std::span<std::uint8_t> out);

}  // namespace devices
