// The main window's graph build: stop what runs, rebuild the receiver
// filters, connect them and set the region.
#pragma once

#include <atomic>
#include <cstdint>

#include "graph/ts_player.h"
#include "platform/kernel.h"

// The main window's state the build works on; the main window owns it all.
struct GraphBuild {
    CTsPlayer& mTsPlayer;
    std::atomic<std::uint8_t>& mChannelState;
    std::atomic<std::int32_t>& mbTuningPass;
    platform::HANDLE mhPassEndEvent;
    platform::CRITICAL_SECTION& mcsChannelInfo;
    std::int32_t mnGraphMode;
    std::int32_t dwCountry;  // region handed to the tuner
    std::int32_t dwBand;
};

// Withdraws the tuning request, waits for a tuning pass under way to end and
// stops the graph under the channel lock.
void StopForRebuild(const GraphBuild& build);

// The stop step, then CreateFilters, ConnectFilters and the region command.
// True when the graph was built, connected and configured.
bool BuildGraph(const GraphBuild& build);
