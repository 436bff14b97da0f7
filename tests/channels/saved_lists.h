// The two channel lists the scan file saver writes in turn: different in
// length and in every entry, so a file holding part of each cannot pass for
// either.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "channels/channel_list.h"

namespace testchannels {

inline void FillList(CChannelList& list, int which) {
    const std::size_t count = which == 0 ? 3 : 40;
    for (std::size_t i = 0; i < count; ++i) {
        ChannelInfo e{};
        e.dwScanWord0 = static_cast<std::int32_t>(0xE0B8 + which);
        e.dwFrequency = which == 0 ? 183008 : 195008;
        e.dwServiceId = static_cast<std::uint32_t>(0xF1E00000 + which * 0x1000 + i);
        const std::string label = (which == 0 ? "Short list " : "Long list ") + std::to_string(i);
        std::memcpy(e.szLabel, label.data(), std::min(label.size(), kLabelSize));
        e.dwSubChannel = static_cast<std::int32_t>(i % 64);
        e.dwServiceType = kServiceTypeData;
        e.dwScanWord10 = 5;
        list.Append(e);
    }
    list.mdwChannelCount = static_cast<std::uint32_t>(count);
    list.mdwType2Index = which;
}

}  // namespace testchannels
