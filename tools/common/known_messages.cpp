#include "tools/common/known_messages.h"

#include <map>

#include "platform/message_queue.h"
#include "platform/text.h"

namespace tools {

std::string KnownMessageName(platform::UINT message) {
    static const std::map<platform::UINT, std::string> names = [] {
        std::map<platform::UINT, std::string> table;
        for (const char* name :
             {"WM_DMBANTLV", "TC_SUSPEND_ACK", "TCC_TDMB_RESET_CHANNEL_MSG",
              "TCC_TDMB_AUDIOCHANGE_MSG", "TCC_TDMB_RECONFIG_MSG", "DMBTPEG_CHANNEL_SCAN"}) {
            auto wide = platform::FromUtf8(name);
            table.emplace(platform::RegisterWindowMessage(wide.c_str()), name);
        }
        return table;
    }();
    auto it = names.find(message);
    return it != names.end() ? it->second : std::string();
}

}  // namespace tools
