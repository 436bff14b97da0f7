#include "channels/channel_selection.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/format.h"
#include "platform/text.h"

namespace {

bool Contains(std::span<const std::uint32_t> ids, std::uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

}  // namespace

bool CChannelList::GetChannelInfo(ChannelInfo& out) {
    const auto n = static_cast<std::int32_t>(mEntries.size());
    bool found = false;
    for (std::int32_t probe = 0; probe < n; ++probe) {
        mdwType2Index += mnSearchStep;
        if (mdwType2Index < 0) {
            mdwType2Index = n - 1;
        } else if (mdwType2Index >= n) {
            mdwType2Index = 0;
        }
        const ChannelInfo& entry = *mEntries[static_cast<std::size_t>(mdwType2Index)];
        if (entry.dwServiceType == kServiceTypeData) {
            if (Contains(kPreferredTpegServices, entry.dwServiceId)) {
                platform::DebugPrintf(u" usid = %ud \r\n", entry.dwServiceId);
                out = entry;
                found = true;
                break;
            }
            if (Contains(kFallbackTpegServices, entry.dwServiceId)) {
                platform::DebugPrintf(u" usid = %ud \r\n", entry.dwServiceId);
                out = entry;
                found = true;
            }
        }
        mnSearchStep = 1;
    }
    mnSearchStep = 0;
    return found;
}

void MakeLabelText(const ChannelInfo& info, std::int32_t country, std::span<platform::WCHAR> out) {
    if (out.empty()) {
        return;
    }
    const char* bytes = reinterpret_cast<const char*>(info.szLabel);
    std::string_view label(
        bytes, static_cast<std::size_t>(std::find(bytes, bytes + kLabelSize, '\0') - bytes));
    std::span<platform::WCHAR> room = out.first(out.size() - 1);
    std::size_t n = 0;
    if (country == kCountryKorea) {
        n = platform::MultiByteToWide(platform::CP_ACP, label, room);
    } else {
        for (; n < label.size() && n < room.size(); ++n) {
            room[n] = static_cast<unsigned char>(label[n]);
        }
    }
    out[n] = u'\0';
}

void UpdateChannelInfo(const ChannelSelection& s) {
    if (s.mChannelState.load() == kChannelValid) {
        return;
    }
    ChannelInfo chosen{};
    if (!s.mChannel.GetChannelInfo(chosen)) {
        platform::DebugPrintf(u"Fail to get channel information \r\n");
        return;
    }
    // The worker copies mChannelInfo under the lock, so it is written under
    // the lock too, even though the worker does not tune from it now.
    platform::EnterCriticalSection(&s.mcsChannelInfo);
    s.mChannelInfo = chosen;
    platform::LeaveCriticalSection(&s.mcsChannelInfo);

    MakeLabelText(chosen, s.mChannel.mdwCountry, s.mszChannelLabel);
    platform::DebugPrintf(u"[TDMBPlayer] mChannelInfo : %s\r\n",
                          static_cast<const platform::WCHAR*>(s.mszChannelLabel.data()));
    s.mChannelState.store(kChannelValid);

    platform::EnterCriticalSection(&s.mcsChannelInfo);
    platform::SetEvent(s.mhChannelEvent);
    platform::LeaveCriticalSection(&s.mcsChannelInfo);
}

void ReportChannels(const CChannelList& list) {
    platform::DebugPrintf(u"[ZQ DMB] S_CH_READ = %d \r\n", static_cast<int>(list.Size()));
    platform::DebugPrintf(u"[ZQ DMB] mChannel.mdwChannelCount = %d \r\n",
                          static_cast<int>(list.mdwChannelCount));
}
