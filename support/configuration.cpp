#include "support/configuration.h"

#include "platform/format.h"
#include "platform/registry.h"

using namespace platform;

namespace {

struct Priority {
    const WCHAR* name;
    DWORD value;  // 0 highest to 255 lowest; 247 is one step above 248
};

constexpr Priority kPriorities[] = {
    {u"Highest", 247},     {u"AboveNormal", 248}, {u"Normal", 248},
    {u"BelowNormal", 248}, {u"Video", 247},
};

}  // namespace

void SetDShowThreadPriority(bool enable) {
    if (!enable) {
        RegDeleteTree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\DirectShow");
        return;
    }
    HKEY key = nullptr;
    if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\DirectShow\\ThreadPriority", 0,
                       nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                       nullptr) != ERROR_SUCCESS) {
        DebugPrintf(u"[TDMBPlayer] Couldn't create registry key\r\n");
        return;
    }
    for (const Priority& p : kPriorities) {
        RegSetValueEx(key, p.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&p.value),
                      sizeof p.value);
    }
    RegCloseKey(key);
}
