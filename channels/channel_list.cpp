#include "channels/channel_list.h"

void CChannelList::Clear() {
    mEntries.clear();
}

void CChannelList::Append(const ChannelInfo& entry) {
    mEntries.push_back(std::make_unique<ChannelInfo>(entry));
}
