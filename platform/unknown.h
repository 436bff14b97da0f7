// IUnknown and IClassFactory, the two interfaces every COM class starts from.
//
// Interfaces are abstract classes whose virtual functions are laid out in
// their documented order; every module of this system is built with the same
// declarations, so a vtable made by a plugin library matches the caller's.
// Objects are never deleted through an interface pointer (Release does that),
// so interfaces get a protected non-virtual destructor: it keeps the vtable
// free of destructor slots and still satisfies -Wnon-virtual-dtor.
//
// Each interface names its IID as `kIid` and the interface it extends as
// `InterfaceBase`, which ComPtr::As and ComObject use to answer
// QueryInterface for the whole chain.
#pragma once

#include "platform/guid.h"
#include "platform/hresult.h"
#include "platform/types.h"

namespace platform {

inline constexpr IID IID_IUnknown{
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory{
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IUnknown {
  public:
    static constexpr const IID& kIid = IID_IUnknown;

    // Sets *object to null and returns E_NOINTERFACE when `iid` is not
    // offered; on success the returned pointer carries a reference.
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    // Both return the new count, for diagnostics only.
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

  protected:
    ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IClassFactory;
    using InterfaceBase = IUnknown;

    virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

  protected:
    ~IClassFactory() = default;
};

// The IID of an interface type, as __uuidof gives it elsewhere.
template <typename Interface>
constexpr const IID& IidOf() {
    return Interface::kIid;
}

}  // namespace platform
