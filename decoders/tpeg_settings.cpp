#include "decoders/tpeg_settings.h"

#include <string>

#include "platform/format.h"
#include "platform/registry.h"

namespace decoders {

namespace bc = broadcast;

bc::ApplicationAids ReadApplicationAids() {
    const auto apps = bc::TpegApplications();
    bc::ApplicationAids::Lists lists;
    for (std::size_t i = 0; i < apps.size(); ++i) {
        const std::u16string name(apps[i].fileName.begin(), apps[i].fileName.end());
        const auto text =
            platform::RegGetString(platform::HKEY_LOCAL_MACHINE, kApplicationsKey, name);
        if (!text) {
            // Absent keeps the defaults quietly; present with another type is a mistake.
            if (platform::RegGetDword(platform::HKEY_LOCAL_MACHINE, kApplicationsKey, name)) {
                platform::DebugPrintf(
                    u"TPEG setting Applications\\%s is not a string: default AIDs\r\n", name);
            }
            continue;
        }
        lists[i] = bc::ParseAidList(*text);
        if (!lists[i]) {
            platform::DebugPrintf(
                u"TPEG setting Applications\\%s is not a list of hex AIDs: default AIDs\r\n", name);
        }
    }
    std::vector<bc::ApplicationAids::Conflict> conflicts;
    bc::ApplicationAids aids = bc::ApplicationAids::FromLists(lists, &conflicts);
    for (const auto& conflict : conflicts) {
        platform::DebugPrintf(u"TPEG AID 0x%04X listed for %s and %s: goes to %s\r\n",
                              static_cast<unsigned>(conflict.aid),
                              std::string(apps[conflict.kept].fileName),
                              std::string(apps[conflict.dropped].fileName),
                              std::string(apps[conflict.kept].fileName));
    }
    return aids;
}

std::uint32_t ReadWriteIntervalMs() {
    const auto value =
        platform::RegGetDword(platform::HKEY_LOCAL_MACHINE, kTpegSettingsKey, kWriteIntervalValue);
    if (!value) {
        if (platform::RegGetString(platform::HKEY_LOCAL_MACHINE, kTpegSettingsKey,
                                   kWriteIntervalValue)) {
            platform::DebugPrintf(u"TPEG setting WriteIntervalMs is not a DWORD: %d ms\r\n",
                                  static_cast<int>(kDefaultWriteIntervalMs));
        }
        return kDefaultWriteIntervalMs;
    }
    if (*value > kMaxWriteIntervalMs) {
        platform::DebugPrintf(u"TPEG setting WriteIntervalMs %u too long: %d ms\r\n",
                              static_cast<unsigned>(*value), static_cast<int>(kMaxWriteIntervalMs));
        return kMaxWriteIntervalMs;
    }
    return *value;
}

}  // namespace decoders
