// The registry-backed lookup: class registrations under HKCR and the media
// framework's thread priorities under HKLM, both in the device root's hives.
#include "platform/com_registry_lookup.h"
#include "platform/guid.h"
#include "platform/hresult.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace platform {

namespace {

std::u16string ServerKey(REFCLSID clsid) { return u"CLSID\\" + GuidToWideString(clsid) + u"\\InprocServer32"; }

class RegistryLookup final : public ComRegistryLookup {
  public:
    std::optional<std::string> InprocServerPath(REFCLSID clsid) override {
        auto path = RegGetString(HKEY_CLASSES_ROOT, ServerKey(clsid), u"");
        if (!path || path->empty()) {
            return std::nullopt;
        }
        return ToUtf8(*path);
    }

    HRESULT SetInprocServerPath(REFCLSID clsid, const std::string& libraryPath) override {
        HKEY key = nullptr;
        std::u16string name = ServerKey(clsid);
        LONG result = RegCreateKeyEx(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (result != ERROR_SUCCESS) {
            return HRESULT_FROM_WIN32(static_cast<DWORD>(result));
        }
        std::u16string value = FromUtf8(libraryPath);
        result = RegSetValueEx(key, u"", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
        RegSetValueEx(key, u"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"Both"),
                      static_cast<DWORD>(sizeof(u"Both")));
        RegCloseKey(key);
        return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(result));
    }

    std::optional<DWORD> ThreadPriority(std::u16string_view valueName) override {
        return RegGetDword(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\DirectShow\\ThreadPriority", valueName);
    }
};

}  // namespace

ComRegistryLookup& RegistryComLookup() {
    static RegistryLookup lookup;
    return lookup;
}

}  // namespace platform
