// A plugin library as a device vendor would ship one: one class, a
// DllGetClassObject and a DllRegisterServer that records where it lives.
#include "platform/class_factory.h"
#include "platform/com.h"
#include "tests/platform/plugin/test_plugin_interface.h"

using namespace platform;

namespace {

class Counter final : public ComObject<testplugin::ICounter> {
  public:
    LONG Increment() override { return ++m_value; }

  private:
    LONG m_value = 0;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID iid,
                                                                            void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (clsid != testplugin::kCounterClsid) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return MakeComObject<ClassFactory>(&CreateComInstance<Counter>)->QueryInterface(iid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
    return RegisterInprocServer(testplugin::kCounterClsid,
                                LibraryPathOf(reinterpret_cast<const void*>(&DllRegisterServer)));
}
