// A base for COM classes: an atomic reference count and QueryInterface over
// the listed interfaces and the interfaces they extend.
//
//   class Tuner : public ComObject<IBaseFilter, ITuner> { ... };
//   ComPtr<Tuner> tuner = MakeComObject<Tuner>(...);
//
// The count starts at 1, owned by whoever created the object (MakeComObject
// hands that reference to a ComPtr); the object deletes itself when Release
// brings the count to 0. IUnknown identity is the first listed interface.
// A class offers more interfaces, or refuses some, by overriding
// FindInterface and falling back to the base for the rest.
#pragma once

#include <atomic>
#include <type_traits>
#include <utility>

#include "platform/com_ptr.h"
#include "platform/unknown.h"

namespace platform {

namespace detail {

template <typename Interface>
void* FindInChain(Interface* object, REFIID iid) {
    if (iid == IidOf<Interface>()) {
        return object;
    }
    if constexpr (requires { typename Interface::InterfaceBase; }) {
        return FindInChain<typename Interface::InterfaceBase>(object, iid);
    } else {
        return nullptr;
    }
}

}  // namespace detail

template <typename... Interfaces>
class ComObject : public Interfaces... {
    static_assert(sizeof...(Interfaces) > 0);

  public:
    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = FindInterface(iid);
        if (*object == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    ULONG AddRef() override { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG Release() override {
        ULONG count = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count == 0) {
            delete this;
        }
        return count;
    }

    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

  protected:
    ComObject() = default;
    virtual ~ComObject() = default;

    // Returns the interface pointer for `iid` without adding a reference, or
    // null when the object does not offer it.
    virtual void* FindInterface(REFIID iid) {
        void* found = nullptr;
        ((found = found != nullptr
                      ? found
                      : detail::FindInChain<Interfaces>(static_cast<Interfaces*>(this), iid)),
         ...);
        return found;
    }

  private:
    std::atomic<ULONG> m_refCount{1};
};

// Creates a COM object of class T and hands its first reference to a ComPtr.
template <typename T, typename... Args>
ComPtr<T> MakeComObject(Args&&... args) {
    ComPtr<T> object;
    object.Attach(new T(std::forward<Args>(args)...));
    return object;
}

}  // namespace platform
