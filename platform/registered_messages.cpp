#include <bitset>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/bus_names.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/window_transport.h"

namespace platform {
namespace {

// Win32 atom names are limited to this length.
constexpr std::size_t kMaxNameLength = 255;

// A process keeps a name's number for good. The transport's number is the
// session's and is taken as it is; without one (no session table) the name's
// hash number is the first choice, so processes still mostly agree, and a
// number of this process is never given to a second name: a message nobody
// else understands is harmless, one mistaken for another is not.
class RegisteredMessages {
  public:
    UINT Number(const std::u16string& key, UINT agreed) {
        std::lock_guard lock(m_mutex);
        if (auto it = m_numbers.find(key); it != m_numbers.end()) {
            return it->second;
        }
        UINT number = agreed != 0 ? agreed : FreeNumber(RegisteredMessageNumber(key));
        if (number != 0) {
            m_taken.set(number - kFirstRegisteredMessage);
            m_numbers.emplace(key, number);
        }
        return number;
    }

  private:
    UINT FreeNumber(UINT first) const {
        for (UINT number = first;;) {
            if (!m_taken.test(number - kFirstRegisteredMessage)) {
                return number;
            }
            number = number == kLastRegisteredMessage ? kFirstRegisteredMessage : number + 1;
            if (number == first) {
                return 0;
            }
        }
    }

    std::mutex m_mutex;
    std::unordered_map<std::u16string, UINT> m_numbers;
    std::bitset<kLastRegisteredMessage - kFirstRegisteredMessage + 1> m_taken;
};

RegisteredMessages& Table() {
    static RegisteredMessages* table = new RegisteredMessages;
    return *table;
}

}  // namespace

UINT RegisterWindowMessage(LPCWSTR name) {
    std::u16string_view view = name != nullptr ? std::u16string_view(name) : std::u16string_view();
    if (view.empty() || view.size() > kMaxNameLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string key(view);
    for (char16_t& c : key) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    UINT agreed = 0;
    if (WindowTransport* transport = GetWindowTransport()) {
        agreed = transport->RegisterWindowMessage(view);
        if (agreed < kFirstRegisteredMessage || agreed > kLastRegisteredMessage) {
            agreed = 0;
        }
    }
    UINT number = Table().Number(key, agreed);
    if (number == 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return number;
}

}  // namespace platform
