// One service of the channel list, as a channel scan found it.
//
// The first seven members are byte for byte the tuner's 44-byte little-endian
// scan-result entry, so a scan takes an entry over by copying those bytes; the
// three audio members follow them.
#pragma once

#include <cstddef>
#include <cstdint>

struct ChannelInfo {
    std::int32_t dwScanWord0;  // kept and written back, never interpreted
    std::int32_t dwFrequency;  // ensemble frequency in the tuner's own unit
    std::uint32_t dwServiceId;
    std::uint8_t szLabel[20];  // NUL padded; no terminator when all 20 bytes are used
    std::int32_t dwSubChannel;
    std::int32_t dwServiceType;  // 1 video, 2 audio, 3 data
    std::int32_t dwScanWord10;   // kept and written back, never interpreted
    std::uint8_t byAudioCode;
    std::int32_t dwAudioChannels;
    std::int32_t dwSampleRate;
};

inline constexpr std::size_t kScanEntrySize = 44;
inline constexpr std::size_t kLabelSize = sizeof(ChannelInfo::szLabel);

static_assert(offsetof(ChannelInfo, dwScanWord0) == 0);
static_assert(offsetof(ChannelInfo, dwFrequency) == 4);
static_assert(offsetof(ChannelInfo, dwServiceId) == 8);
static_assert(offsetof(ChannelInfo, szLabel) == 12);
static_assert(offsetof(ChannelInfo, dwSubChannel) == 32);
static_assert(offsetof(ChannelInfo, dwServiceType) == 36);
static_assert(offsetof(ChannelInfo, dwScanWord10) == 40);
static_assert(offsetof(ChannelInfo, byAudioCode) == kScanEntrySize);

// Service types as the tuner reports them.
inline constexpr std::int32_t kServiceTypeVideo = 1;
inline constexpr std::int32_t kServiceTypeAudio = 2;
inline constexpr std::int32_t kServiceTypeData = 3;
