// Taking over the services a tuner scan step reports.
#pragma once

#include <atomic>
#include <cstdint>

#include "channels/channel_list.h"

// Room for the entries of one scan step.
inline constexpr int kScanEntriesPerReply = 10;
inline constexpr std::size_t kScanReplyBytes = kScanEntriesPerReply * kScanEntrySize;

// Appends the first `reported` entries of `reply` to `list` (at most ten; a
// negative count is none), checking `abort` before each. Audio services get
// the region's audio members. Each entry's label is logged as
// "[Scan] CH - <label>". Returns the number of entries taken.
int TakeScanResults(CChannelList& list, const std::uint8_t (&reply)[kScanReplyBytes],
                    std::intptr_t reported, const std::atomic<std::int32_t>& abort);
