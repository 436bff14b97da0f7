// The plugin's C exports: class objects for the tuner and the data-acquisition
// filter, and their registration in the device's registry.
#include "devices/data_acquisition_filter.h"
#include "devices/tuner_filter.h"
#include "platform/class_factory.h"
#include "platform/com.h"

using namespace platform;

namespace {

// Creation may run out of memory; no exception may leave the plugin.
template <typename T>
HRESULT CreateFilter(REFIID iid, void** object) noexcept {
    try {
        return CreateComInstance<T>(iid, object);
    } catch (...) {
        if (object != nullptr) {
            *object = nullptr;
        }
        return E_OUTOFMEMORY;
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID iid,
                                                                            void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    ClassFactory::CreateFunction create = nullptr;
    if (clsid == CLSID_TdmbTuner) {
        create = &CreateFilter<devices::TunerFilter>;
    } else if (clsid == CLSID_DataAcquisition) {
        create = &CreateFilter<devices::DataAcquisitionFilter>;
    } else {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    try {
        return MakeComObject<ClassFactory>(create)->QueryInterface(iid, object);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
    const std::string library = LibraryPathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    if (library.empty()) {
        return E_FAIL;
    }
    HRESULT hr = RegisterInprocServer(CLSID_TdmbTuner, library);
    if (SUCCEEDED(hr)) {
        hr = RegisterInprocServer(CLSID_DataAcquisition, library);
    }
    return hr;
}
