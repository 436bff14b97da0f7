// COM runtime: per-thread initialisation, class objects and instance
// creation, task memory.
//
// CoCreateInstance looks for the class, in this order, among the class
// objects registered in this process (CoRegisterClassObject), the platform's
// own classes (the filter graph manager), and the registry's
// HKCR\CLSID\{clsid}\InprocServer32 entry, whose default value names a shared
// library exporting DllGetClassObject. Such a library is loaded once and stays
// loaded for the life of the process: objects and class objects made by it may
// outlive any reference COM could count, and unloading code under a live
// vtable is the classic crash, so nothing is ever unloaded (DllCanUnloadNow is
// not consulted).
//
// All classes are free-threaded: every thread that has called CoInitializeEx,
// or runs in a process where some thread has, may use any object.
#pragma once

#include <cstddef>
#include <string>

#include "platform/guid.h"
#include "platform/hresult.h"
#include "platform/unknown.h"

namespace platform {

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;

inline constexpr DWORD REGCLS_MULTIPLEUSE = 1;

// S_OK for the thread's first call, S_FALSE for each further one; each
// successful call needs its CoUninitialize. Only the multithreaded model
// exists here: COINIT_APARTMENTTHREADED is accepted and behaves the same, as
// nothing on this platform marshals calls between threads.
HRESULT CoInitializeEx(void* reserved, DWORD coInit);
void CoUninitialize();

// Creates an instance of `clsid` and returns the `iid` interface of it.
// E_POINTER for a null `object`; CLASS_E_NOAGGREGATION when `outer` is given
// (no class here supports aggregation); CO_E_NOTINITIALIZED when no thread of
// the process has initialised COM; REGDB_E_CLASSNOTREG when the class is
// unknown or `context` allows no in-process server; the library's or the
// factory's own failure otherwise.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);

// The class object (usually IClassFactory) of `clsid`, found as above.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID iid, void** object);

// Makes `classObject` (an IClassFactory) the class object of `clsid` in this
// process, ahead of the platform's classes and the registry, until revoked. The
// registration holds a reference. `flags` is REGCLS_MULTIPLEUSE (single use is
// treated the same). A later registration of the same class wins over an
// earlier one.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD context, DWORD flags,
                              DWORD* cookie);
// CO_E_OBJNOTREG for an unknown cookie.
HRESULT CoRevokeClassObject(DWORD cookie);

// What a plugin library exports, by these names, with C linkage.
using DllGetClassObjectFunction = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);
using DllRegisterServerFunction = HRESULT (*)();

// For a plugin's DllRegisterServer: writes HKCR\CLSID\{clsid}\InprocServer32
// with `libraryPath` as its default value.
HRESULT RegisterInprocServer(REFCLSID clsid, const std::string& libraryPath);

// The file of the loaded shared library (or executable) holding `address`,
// e.g. the address of the plugin's own DllRegisterServer; empty if unknown.
std::string LibraryPathOf(const void* address);

}  // namespace platform
