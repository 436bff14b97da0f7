// libFuzzer target: texts other processes on the bus control. The shared
// registered-message table may hold anything another program appended: a
// table read from it still gives every name one number in range, the same
// number again, and different numbers to different names. A title object
// path parses only when it is the canonical path of what it parsed to.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz/quiet_log.h"
#include "platform/bus_names.h"
#include "platform/registered_message_table.h"
#include "platform/window_messages.h"

namespace {

const std::string& TablePath() {
    static const std::string path = [] {
        char folder[] = "/tmp/bus-text-fuzz-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            std::abort();
        }
        return std::string(folder) + "/registered-messages";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::SilenceLogs();
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (auto object = platform::ParseTitleObjectPath(text)) {
        if (platform::TitleObjectPath(object->title, object->className) != text) {
            __builtin_trap();
        }
    }

    {
        std::ofstream file(TablePath(), std::ios::binary | std::ios::trunc);
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    platform::RegisteredMessageTable table;
    table.Open(TablePath());
    const std::u16string names[] = {u"WM_DMBANTLV", u"NAV_GPS_89", u"wm_dmbantlv", u"Fuzz%\n"};
    platform::UINT numbers[4] = {};
    for (int i = 0; i < 4; ++i) {
        auto number = table.Register(names[i]);
        if (!number) {
            return 0;  // an oversized table is refused as a whole
        }
        numbers[i] = *number;
        if ((*number != 0 && *number < platform::kFirstRegisteredMessage) ||
            table.Register(names[i]) != number) {
            __builtin_trap();
        }
    }
    // Names compare case-blind; the others must differ unless the table is full.
    if (numbers[0] != numbers[2] ||
        (numbers[0] != 0 && (numbers[0] == numbers[1] || numbers[0] == numbers[3] ||
                             (numbers[1] != 0 && numbers[1] == numbers[3])))) {
        __builtin_trap();
    }
    return 0;
}
