// libFuzzer target: the scan file reader takes any bytes without crashing,
// hanging or appending more entries than it may.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "channels/channel_list.h"
#include "fuzz/quiet_log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::SilenceLogs();
    CChannelList list;
    list.Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (list.Size() > 4096 || list.Size() > size) {
        __builtin_trap();
    }
    // What was read is written back in the file's own format without trouble.
    CChannelList again;
    again.Parse(list.Serialize());
    return 0;
}
