#include "platform/guid.h"

#include <fmt/format.h>

#include "platform/hresult.h"
#include "platform/text.h"

namespace platform {

std::string GuidToString(REFGUID guid) {
    return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}",
                       guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                       guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                       guid.Data4[7]);
}

std::u16string GuidToWideString(REFGUID guid) {
    return FromUtf8(GuidToString(guid));
}

}  // namespace platform
