// Choosing the TPEG service and handing it to the tuning worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "channels/channel_info.h"
#include "channels/channel_list.h"
#include "platform/kernel.h"

inline constexpr std::size_t kChannelLabelUnits = 64;

// mChannelState values.
inline constexpr std::uint8_t kChannelInvalid = 0;
inline constexpr std::uint8_t kChannelValid = 1;
inline constexpr std::uint8_t kChannelScanStarting = 2;

// The main window's channel state that UpdateChannelInfo works on. The main
// window owns every member; the worker thread reads mChannelInfo only under
// mcsChannelInfo and only after mhChannelEvent was set.
struct ChannelSelection {
    CChannelList& mChannel;
    ChannelInfo& mChannelInfo;
    std::atomic<std::uint8_t>& mChannelState;
    std::span<platform::WCHAR, kChannelLabelUnits> mszChannelLabel;
    platform::CRITICAL_SECTION& mcsChannelInfo;
    platform::HANDLE mhChannelEvent;
};

// Chooses the TPEG service into mChannelInfo unless the current choice is
// still valid, then raises the tuning request.
void UpdateChannelInfo(const ChannelSelection& selection);

// Logs the number of entries and the count the scan file last announced.
void ReportChannels(const CChannelList& list);

// The label as wide text: converted from the device's code page in region 82
// (Korea); elsewhere each byte is taken as a Latin-1 character, which shows
// the ASCII labels of other regions as they are. Stops at the first NUL and
// never reads past the 20 bytes; always terminated.
void MakeLabelText(const ChannelInfo& info, std::int32_t country, std::span<platform::WCHAR> out);
