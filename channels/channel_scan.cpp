#include "channels/channel_scan.h"

#include <algorithm>
#include <cstring>

#include "channels/channel_selection.h"
#include "platform/format.h"

namespace {

constexpr std::uint8_t kAudioCodeKorea = 22;
constexpr std::int32_t kAudioChannels = 2;
constexpr std::int32_t kSampleRate = 48000;

}  // namespace

int TakeScanResults(CChannelList& list, const std::uint8_t (&reply)[kScanReplyBytes],
                    std::intptr_t reported, const std::atomic<std::int32_t>& abort) {
    const auto count =
        static_cast<int>(std::clamp<std::intptr_t>(reported, 0, kScanEntriesPerReply));
    int taken = 0;
    for (int i = 0; i < count && abort.load() != 1; ++i) {
        ChannelInfo entry{};
        std::memcpy(&entry, reply + static_cast<std::size_t>(i) * kScanEntrySize, kScanEntrySize);
        if (entry.dwServiceType == kServiceTypeAudio) {
            entry.byAudioCode = kAudioCodeKorea;
            entry.dwAudioChannels = kAudioChannels;
            entry.dwSampleRate = kSampleRate;
        }
        list.Append(entry);
        platform::WCHAR label[kChannelLabelUnits];
        MakeLabelText(entry, kCountryKorea, label);
        platform::DebugPrintf(u"[Scan] CH - %s\r\n", static_cast<const platform::WCHAR*>(label));
        ++taken;
    }
    return taken;
}
