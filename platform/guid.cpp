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

int StringFromGUID2(REFGUID guid, LPWSTR buffer, int capacity) {
    std::u16string text = GuidToWideString(guid);
    int needed = static_cast<int>(text.size()) + 1;
    if (buffer == nullptr || capacity < needed) {
        return 0;
    }
    text.copy(buffer, text.size());
    buffer[text.size()] = u'\0';
    return needed;
}

HRESULT CLSIDFromString(LPCWSTR text, CLSID* clsid) {
    if (clsid == nullptr) {
        return E_INVALIDARG;
    }
    auto parsed = text != nullptr ? ParseGuid(std::u16string_view(text)) : std::nullopt;
    *clsid = parsed.value_or(GUID_NULL);
    return parsed ? S_OK : CO_E_CLASSSTRING;
}

}  // namespace platform
