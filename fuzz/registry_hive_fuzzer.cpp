// libFuzzer target: the registry hive reader takes any text without crashing or hanging, and a
// hive it accepts is written back in a form it reads again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/quiet_log.h"
#include "platform/registry_hive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::SilenceLogs();
    platform::HiveParseResult parsed =
        platform::ParseHive(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed.hive) {
        return 0;
    }
    const std::string text = platform::SerializeHive(*parsed.hive);
    const platform::HiveParseResult again = platform::ParseHive(text);
    if (!again.hive || again.hive->AllKeys().size() != parsed.hive->AllKeys().size()) {
        __builtin_trap();
    }
    return 0;
}
