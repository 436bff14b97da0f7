#include "platform/com.h"

#include <dlfcn.h>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "platform/builtin_classes.h"
#include "platform/com_ptr.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace platform {

namespace {

std::atomic<int> gInitialisedThreads{0};

struct ThreadComState {
    int count = 0;
    ~ThreadComState() {
        // A thread that ends without its CoUninitialize must not keep the
        // process counted as initialised.
        if (count > 0) {
            gInitialisedThreads.fetch_sub(1);
        }
    }
};
thread_local ThreadComState tComState;

struct Registration {
    DWORD cookie;
    CLSID clsid;
    ComPtr<IUnknown> classObject;
};

std::mutex gRegistrationMutex;
std::vector<Registration> gRegistrations;
DWORD gNextCookie = 1;

std::mutex gLibraryMutex;
// Handles are deliberately never closed: see com.h.
std::map<std::string, void*> gLibraries;

void LogLine(const std::string& text) {
    DebugOutput(FromUtf8(text + "\r\n"));
}

ComPtr<IUnknown> FindRegistration(REFCLSID clsid) {
    std::lock_guard lock(gRegistrationMutex);
    auto it = std::find_if(gRegistrations.rbegin(), gRegistrations.rend(),
                           [&](const Registration& r) { return r.clsid == clsid; });
    return it != gRegistrations.rend() ? it->classObject : nullptr;
}

void* LoadLibraryOnce(const std::string& path) {
    std::lock_guard lock(gLibraryMutex);
    auto it = gLibraries.find(path);
    if (it != gLibraries.end()) {
        return it->second;
    }
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library == nullptr) {
        const char* error = dlerror();
        LogLine(fmt::format("COM: cannot load {}: {}", path, error ? error : "unknown error"));
        return nullptr;
    }
    gLibraries.emplace(path, library);
    return library;
}

// HKCR\CLSID\{clsid}\InprocServer32, whose default value names the library.
std::u16string ServerKey(REFCLSID clsid) {
    return u"CLSID\\" + GuidToWideString(clsid) + u"\\InprocServer32";
}

HRESULT GetRegistryClassObject(REFCLSID clsid, REFIID iid, void** object) {
    std::optional<std::u16string> wide = RegGetString(HKEY_CLASSES_ROOT, ServerKey(clsid), u"");
    std::optional<std::string> path = wide ? std::optional(ToUtf8(*wide)) : std::nullopt;
    if (!path || path->empty()) {
        return REGDB_E_CLASSNOTREG;
    }
    void* library = LoadLibraryOnce(*path);
    if (library == nullptr) {
        return CO_E_DLLNOTFOUND;
    }
    auto getClassObject =
        reinterpret_cast<DllGetClassObjectFunction>(dlsym(library, "DllGetClassObject"));
    if (getClassObject == nullptr) {
        LogLine(fmt::format("COM: {} exports no DllGetClassObject", *path));
        return CO_E_ERRORINDLL;
    }
    return getClassObject(clsid, iid, object);
}

}  // namespace

HRESULT CoInitializeEx(void*, DWORD coInit) {
    if (coInit != COINIT_MULTITHREADED && coInit != COINIT_APARTMENTTHREADED) {
        return E_INVALIDARG;
    }
    if (tComState.count++ > 0) {
        return S_FALSE;
    }
    gInitialisedThreads.fetch_add(1);
    return S_OK;
}

void CoUninitialize() {
    if (tComState.count > 0 && --tComState.count == 0) {
        gInitialisedThreads.fetch_sub(1);
    }
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void*, REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if ((context & CLSCTX_INPROC) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    if (ComPtr<IUnknown> registered = FindRegistration(clsid)) {
        return registered->QueryInterface(iid, object);
    }
    HRESULT hr = GetBuiltInClassObject(clsid, iid, object);
    if (hr != CLASS_E_CLASSNOTAVAILABLE) {
        return hr;
    }
    return GetRegistryClassObject(clsid, iid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (gInitialisedThreads.load() == 0) {
        return CO_E_NOTINITIALIZED;
    }
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(factory.GetAddressOf()));
    if (FAILED(hr)) {
        return hr;
    }
    if (!factory) {
        return E_UNEXPECTED;
    }
    return factory->CreateInstance(nullptr, iid, object);
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD context, DWORD,
                              DWORD* cookie) {
    if (classObject == nullptr || cookie == nullptr) {
        return E_INVALIDARG;
    }
    if ((context & CLSCTX_INPROC) == 0) {
        return E_INVALIDARG;
    }
    std::lock_guard lock(gRegistrationMutex);
    *cookie = gNextCookie++;
    gRegistrations.push_back({*cookie, clsid, ComPtr<IUnknown>(classObject)});
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
    // Released after the lock: the last reference may run the class object's
    // destructor, which must not happen under the registration lock.
    ComPtr<IUnknown> released;
    {
        std::lock_guard lock(gRegistrationMutex);
        auto it = std::find_if(gRegistrations.begin(), gRegistrations.end(),
                               [&](const Registration& r) { return r.cookie == cookie; });
        if (it == gRegistrations.end()) {
            return CO_E_OBJNOTREG;
        }
        released = std::move(it->classObject);
        gRegistrations.erase(it);
    }
    return S_OK;
}

HRESULT RegisterInprocServer(REFCLSID clsid, const std::string& libraryPath) {
    if (libraryPath.empty()) {
        return E_INVALIDARG;
    }
    HKEY key = nullptr;
    const std::u16string name = ServerKey(clsid);
    LONG result = RegCreateKeyEx(HKEY_CLASSES_ROOT, name.c_str(), 0, nullptr,
                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) {
        return HRESULT_FROM_WIN32(static_cast<DWORD>(result));
    }
    const std::u16string value = FromUtf8(libraryPath);
    result = RegSetValueEx(key, u"", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
    RegSetValueEx(key, u"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"Both"),
                  static_cast<DWORD>(sizeof(u"Both")));
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(result));
}

std::string LibraryPathOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

}  // namespace platform
