// ComPtr<T>: owns one reference to a COM object.
//
// Copying adds a reference, moving transfers it, destruction and Reset release
// it. GetAddressOf hands out the slot for functions that return an interface
// (it must be empty, as after ReleaseAndGetAddressOf); Attach takes over a
// reference the caller already owns and Detach gives it back without
// releasing.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "platform/unknown.h"

namespace platform {

template <typename T>
class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Adds a reference: the caller keeps its own.
    ComPtr(T* object) : m_ptr(object) { InternalAddRef(); }
    ComPtr(const ComPtr& other) : m_ptr(other.m_ptr) { InternalAddRef(); }
    template <typename U>
    requires std::is_convertible_v<U*, T*> ComPtr(const ComPtr<U>& other) : m_ptr(other.Get()) {
        InternalAddRef();
    }
    ComPtr(ComPtr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    ~ComPtr() { InternalRelease(); }

    ComPtr& operator=(const ComPtr& other) {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(T* object) {
        ComPtr(object).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) {
        Reset();
        return *this;
    }

    T* Get() const { return m_ptr; }
    T* operator->() const { return m_ptr; }
    T& operator*() const { return *m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

    T** GetAddressOf() { return &m_ptr; }
    T** ReleaseAndGetAddressOf() {
        Reset();
        return &m_ptr;
    }

    void Attach(T* object) {
        InternalRelease();
        m_ptr = object;
    }
    T* Detach() { return std::exchange(m_ptr, nullptr); }

    // Returns the count left after releasing, 0 when it was empty.
    ULONG Reset() {
        T* old = std::exchange(m_ptr, nullptr);
        return old != nullptr ? old->Release() : 0;
    }

    void Swap(ComPtr& other) noexcept { std::swap(m_ptr, other.m_ptr); }

    // QueryInterface for U; *result is emptied first and stays empty on failure.
    template <typename U>
    HRESULT As(ComPtr<U>* result) const {
        if (result == nullptr) {
            return E_POINTER;
        }
        result->Reset();
        if (m_ptr == nullptr) {
            return E_POINTER;
        }
        return m_ptr->QueryInterface(IidOf<U>(), reinterpret_cast<void**>(result->GetAddressOf()));
    }
    // Same, for callers that only need to know whether U is offered.
    template <typename U>
    ComPtr<U> As() const {
        ComPtr<U> result;
        As(&result);
        return result;
    }

    // Adds a reference for an out parameter (**out = object), null-safe.
    HRESULT CopyTo(T** out) const {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = m_ptr;
        InternalAddRef();
        return S_OK;
    }

  private:
    void InternalAddRef() const {
        if (m_ptr != nullptr) {
            m_ptr->AddRef();
        }
    }
    void InternalRelease() {
        if (T* old = std::exchange(m_ptr, nullptr)) {
            old->Release();
        }
    }

    T* m_ptr = nullptr;
};

template <typename T, typename U>
bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) {
    return a.Get() == b.Get();
}
template <typename T>
bool operator==(const ComPtr<T>& a, std::nullptr_t) {
    return a.Get() == nullptr;
}

}  // namespace platform
