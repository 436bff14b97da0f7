// The few registry entries COM and the filter graph read and write, kept
// behind one seam so that tests can supply them without a device root:
//   HKCR\CLSID\{clsid}\InprocServer32, default value (REG_SZ): library path
//   HKLM\SOFTWARE\Microsoft\DirectShow\ThreadPriority, values such as
//     "Normal" or "Highest" (REG_DWORD, 0 highest ... 255 lowest)
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/guid.h"
#include "platform/types.h"

namespace platform {

class ComRegistryLookup {
  public:
    virtual ~ComRegistryLookup() = default;
    virtual std::optional<std::string> InprocServerPath(REFCLSID clsid) = 0;
    virtual HRESULT SetInprocServerPath(REFCLSID clsid, const std::string& libraryPath) = 0;
    virtual std::optional<DWORD> ThreadPriority(std::u16string_view valueName) = 0;
};

// The lookup backed by the registry proper.
ComRegistryLookup& RegistryComLookup();

// The lookup in force: RegistryComLookup() unless a scope below replaced it.
ComRegistryLookup& CurrentComRegistryLookup();

// Replaces the lookup for the whole process while it lives; for tests. Scopes
// nest and must end in reverse order.
class ScopedComRegistryLookup {
  public:
    explicit ScopedComRegistryLookup(ComRegistryLookup& lookup);
    ~ScopedComRegistryLookup();
    ScopedComRegistryLookup(const ScopedComRegistryLookup&) = delete;
    ScopedComRegistryLookup& operator=(const ScopedComRegistryLookup&) = delete;

  private:
    ComRegistryLookup* m_previous;
};

}  // namespace platform
