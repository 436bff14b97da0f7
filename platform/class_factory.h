// A ready-made IClassFactory for classes built on ComObject, for plugin
// libraries' DllGetClassObject and for in-process registrations:
//
//   auto factory = MakeComObject<ClassFactory>(&CreateComInstance<TunerFilter>);
//   return factory->QueryInterface(iid, object);
//
// Aggregation is refused with CLASS_E_NOAGGREGATION; LockServer has nothing to
// keep loaded (libraries are never unloaded) and only succeeds.
#pragma once

#include "platform/com_object.h"

namespace platform {

// Creates a T and returns its `iid` interface; E_NOINTERFACE leaves nothing
// behind.
template <typename T>
HRESULT CreateComInstance(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    ComPtr<T> instance = MakeComObject<T>();
    return instance->QueryInterface(iid, object);
}

class ClassFactory final : public ComObject<IClassFactory> {
  public:
    using CreateFunction = HRESULT (*)(REFIID iid, void** object);

    explicit ClassFactory(CreateFunction create) : m_create(create) {}

    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        return m_create(iid, object);
    }

    HRESULT LockServer(BOOL) override { return S_OK; }

  private:
    const CreateFunction m_create;
};

}  // namespace platform
