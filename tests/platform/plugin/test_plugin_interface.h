// The class a test plugin library offers through DllGetClassObject.
#pragma once

#include "platform/unknown.h"

namespace testplugin {

inline constexpr platform::CLSID kCounterClsid{
    0x7D1F4C20, 0x9E35, 0x4B8A, {0xB6, 0x02, 0x5C, 0x3E, 0x71, 0xA9, 0x40, 0x11}};
inline constexpr platform::IID kIidCounter{
    0x7D1F4C20, 0x9E35, 0x4B8A, {0xB6, 0x02, 0x5C, 0x3E, 0x71, 0xA9, 0x40, 0x12}};

class ICounter : public platform::IUnknown {
  public:
    static constexpr const platform::IID& kIid = kIidCounter;
    using InterfaceBase = platform::IUnknown;
    virtual platform::LONG Increment() = 0;

  protected:
    ~ICounter() = default;
};

}  // namespace testplugin
