// Stand-in for the registry-backed lookup until the registry exists on this
// platform: nothing is registered and nothing can be written. Replace this file
// with one whose functions read and write the keys named in
// com_registry_lookup.h through RegOpenKeyEx/RegQueryValueEx/RegCreateKeyEx.
#include "platform/com_registry_lookup.h"
#include "platform/hresult.h"

namespace platform {

namespace {

class StubComRegistryLookup final : public ComRegistryLookup {
  public:
    std::optional<std::string> InprocServerPath(REFCLSID) override { return std::nullopt; }
    HRESULT SetInprocServerPath(REFCLSID, const std::string&) override { return E_NOTIMPL; }
    std::optional<DWORD> ThreadPriority(std::u16string_view) override { return std::nullopt; }
};

}  // namespace

ComRegistryLookup& RegistryComLookup() {
    static StubComRegistryLookup lookup;
    return lookup;
}

}  // namespace platform
