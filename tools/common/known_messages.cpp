#include "tools/common/known_messages.h"

#include <map>

#include "platform/message_queue.h"
#include "platform/service_protocol.h"
#include "platform/text.h"

namespace tools {

std::string KnownMessageName(platform::UINT message) {
    static const std::map<platform::UINT, std::string> names = [] {
        std::map<platform::UINT, std::string> table;
        for (std::u16string_view name : kProtocolMessageNames) {
            const std::u16string terminated(name);
            table.emplace(platform::RegisterWindowMessage(terminated.c_str()),
                          platform::ToUtf8(name));
        }
        return table;
    }();
    auto it = names.find(message);
    return it != names.end() ? it->second : std::string();
}

}  // namespace tools
