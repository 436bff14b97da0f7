// HRESULT values of COM and of the filter graph, with their documented values.
#pragma once

#include "platform/types.h"

namespace platform {

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

namespace detail {
constexpr HRESULT MakeHresult(std::uint32_t value) {
    return static_cast<HRESULT>(value);
}
}  // namespace detail

constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
    return error == 0 ? 0 : detail::MakeHresult((error & 0xFFFF) | 0x80070000u);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOINTERFACE = detail::MakeHresult(0x80004002);
inline constexpr HRESULT E_POINTER = detail::MakeHresult(0x80004003);
inline constexpr HRESULT E_FAIL = detail::MakeHresult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = detail::MakeHresult(0x8000FFFF);
inline constexpr HRESULT E_OUTOFMEMORY = detail::MakeHresult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = detail::MakeHresult(0x80070057);

inline constexpr HRESULT CLASS_E_NOAGGREGATION = detail::MakeHresult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = detail::MakeHresult(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = detail::MakeHresult(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = detail::MakeHresult(0x800401F0);
inline constexpr HRESULT CO_E_DLLNOTFOUND = detail::MakeHresult(0x800401F8);
inline constexpr HRESULT CO_E_ERRORINDLL = detail::MakeHresult(0x800401F9);
inline constexpr HRESULT CO_E_OBJNOTREG = detail::MakeHresult(0x800401FB);

inline constexpr HRESULT VFW_E_ALREADY_CONNECTED = detail::MakeHresult(0x80040204);
inline constexpr HRESULT VFW_E_INVALID_DIRECTION = detail::MakeHresult(0x80040208);
inline constexpr HRESULT VFW_E_NOT_CONNECTED = detail::MakeHresult(0x80040209);
inline constexpr HRESULT VFW_E_NOT_FOUND = detail::MakeHresult(0x80040216);
inline constexpr HRESULT VFW_E_CANNOT_CONNECT = detail::MakeHresult(0x80040217);
inline constexpr HRESULT VFW_E_NOT_STOPPED = detail::MakeHresult(0x80040224);
inline constexpr HRESULT VFW_E_NOT_IN_GRAPH = detail::MakeHresult(0x8004025F);
inline constexpr HRESULT VFW_S_STATE_INTERMEDIATE = 0x00040237;
inline constexpr HRESULT VFW_S_CANT_CUE = 0x00040268;

}  // namespace platform
