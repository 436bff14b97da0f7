// libFuzzer target: component frame data goes through the message parser and every message it
// yields into a message store with small bounds; the store's file must read back whole, and
// arbitrary bytes must not upset the file reader. The first byte picks the time expiry is
// judged against, so inputs reach both the adding and the expiring paths.
#include <cstddef>
#include <cstdint>
#include <span>

#include "broadcast/content_budget.h"
#include "broadcast/tpeg_message.h"
#include "broadcast/tpeg_message_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::int64_t now = std::int64_t{data[0]} << 24;
    const std::span<const std::uint8_t> frame(data + 1, size - 1);
    constexpr std::size_t kPerAccount = 600;
    broadcast::ContentBudget budget(kPerAccount, 2 * kPerAccount);
    broadcast::TpegMessageStore store(budget);
    const auto parsed = broadcast::ParseTpegMessages(frame);
    if (parsed.messages.size() + parsed.malformed > parsed.declaredCount) {
        __builtin_trap();
    }
    std::size_t sum = 0;
    for (const broadcast::TpegMessage& message : parsed.messages) {
        if (message.bytes.data() < frame.data() ||
            message.bytes.data() + message.bytes.size() > frame.data() + frame.size()) {
            __builtin_trap();
        }
        for (std::uint8_t byte : message.management.otherAttributes) {
            sum += byte;
        }
        for (std::uint8_t byte : message.management.subComponents) {
            sum += byte;
        }
        static_cast<void>(store.Apply(message, now));
        if (store.Held() > kPerAccount) {
            __builtin_trap();
        }
    }
    static_cast<void>(store.Expire(now + 0x10000));
    const auto file = store.File();
    const auto entries = broadcast::ReadMessageFile(file);
    if (!entries || entries->size() != store.Count()) {
        __builtin_trap();
    }
    static_cast<void>(broadcast::ReadMessageFile(frame));
    static_cast<void>(sum);
    return 0;
}
