#include <dlfcn.h>
#include <gtest/gtest.h>

#include <thread>

#include "platform/class_factory.h"
#include "platform/com.h"
#include "platform/com_ptr.h"
#include "platform/dshow.h"
#include "platform/filter_graph.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/thread_priority.h"
#include "tests/platform/plugin/test_plugin_interface.h"
#include "tests/support/temp_dir.h"

using namespace platform;
using testplugin::ICounter;
using testplugin::kCounterClsid;

namespace {

constexpr CLSID kUnknownClsid{
    0x0BADC0DE, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
constexpr CLSID kLocalClsid{
    0x0BADC0DE, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}};

class LocalCounter final : public ComObject<ICounter> {
  public:
    LONG Increment() override { return m_value += 10; }

  private:
    LONG m_value = 0;
};

class Com : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK); }
    void TearDown() override { CoUninitialize(); }

    // Class registrations go to a registry of the test's own.
    testsupport::TempDir m_root;
    testsupport::ScopedEnv m_env{"DMBTPEG_ROOT", m_root.Path()};
    int m_notNull = 0;
};

TEST(ComInitialize, CountsPerThreadAndIsNeededForCreation) {
    ComPtr<IGraphBuilder> graph;
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(graph.GetAddressOf())),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    std::thread other([] {
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
    other.join();
    CoUninitialize();
    // One initialisation left on this thread: creation still works.
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(graph.GetAddressOf())),
              S_OK);
    graph = nullptr;
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    CoUninitialize();
}

TEST_F(Com, FilterGraphNeedsNoRegistryAndOffersItsInterfacesOnOneObject) {
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                         IID_IGraphBuilder, reinterpret_cast<void**>(graph.GetAddressOf())),
        S_OK);
    ComPtr<IUnknown> identity = graph.As<IUnknown>();
    EXPECT_EQ(graph.As<IFilterGraph>().As<IUnknown>(), identity);
    EXPECT_EQ(graph.As<IMediaControl>().As<IUnknown>(), identity);
    EXPECT_EQ(graph.As<IMediaFilter>().As<IUnknown>(), identity);
    EXPECT_EQ(graph.As<IPersist>().As<IUnknown>(), identity);
    EXPECT_EQ(graph.As<IVideoWindow>().As<IUnknown>(), identity);
    EXPECT_EQ(graph.As<IBasicAudio>().As<IUnknown>(), identity);
    EXPECT_FALSE(graph.As<IBaseFilter>());
    CLSID clsid{};
    EXPECT_EQ(graph.As<IPersist>()->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_FilterGraph);
}

TEST_F(Com, UnknownClassAggregationAndOutOfProcessContextsAreRefused) {
    void* object = &m_notNull;
    EXPECT_EQ(CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);

    ComPtr<IGraphBuilder> outer;
    ASSERT_EQ(CreateFilterGraph(IID_IGraphBuilder, reinterpret_cast<void**>(outer.GetAddressOf())),
              S_OK);
    object = &m_notNull;
    EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, outer.Get(), CLSCTX_INPROC_SERVER, IID_IUnknown,
                               &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &object),
        REGDB_E_CLASSNOTREG);
    EXPECT_EQ(
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
        E_POINTER);
}

TEST_F(Com, InProcessRegistrationWinsUntilRevoked) {
    auto factory = MakeComObject<ClassFactory>(&CreateComInstance<LocalCounter>);
    // Registered under the plugin's class too: it must be found before the
    // registry is consulted.
    ASSERT_EQ(RegisterInprocServer(kCounterClsid, "/nonexistent/plugin.so"), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kCounterClsid, factory.Get(), CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    ComPtr<ICounter> counter;
    ASSERT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, ICounter::kIid,
                               reinterpret_cast<void**>(counter.GetAddressOf())),
              S_OK);
    EXPECT_EQ(counter->Increment(), 10);

    ComPtr<IUnknown> wrongInterface;
    EXPECT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPin,
                               reinterpret_cast<void**>(wrongInterface.GetAddressOf())),
              E_NOINTERFACE);

    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
    EXPECT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, ICounter::kIid,
                               reinterpret_cast<void**>(counter.ReleaseAndGetAddressOf())),
              CO_E_DLLNOTFOUND);
    // The registration's reference is gone: ours is the last one.
    EXPECT_EQ(factory.Reset(), 0u);
}

TEST_F(Com, PluginRegistersItselfAndIsLoadedFromTheRegistry) {
    void* library = dlopen(COM_TEST_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto registerServer =
        reinterpret_cast<DllRegisterServerFunction>(dlsym(library, "DllRegisterServer"));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_EQ(registerServer(), S_OK);
    std::optional<std::u16string> path = RegGetString(
        HKEY_CLASSES_ROOT, u"CLSID\\" + GuidToWideString(kCounterClsid) + u"\\InprocServer32", u"");
    ASSERT_TRUE(path);
    EXPECT_NE(ToUtf8(*path).find("com_test_plugin"), std::string::npos) << ToUtf8(*path);

    ComPtr<ICounter> counter;
    ASSERT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, ICounter::kIid,
                               reinterpret_cast<void**>(counter.GetAddressOf())),
              S_OK);
    EXPECT_EQ(counter->Increment(), 1);
    EXPECT_EQ(counter->Increment(), 2);
    ComPtr<ICounter> second;
    ASSERT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, ICounter::kIid,
                               reinterpret_cast<void**>(second.GetAddressOf())),
              S_OK);
    EXPECT_EQ(second->Increment(), 1);
    EXPECT_EQ(counter.Reset(), 0u);
    EXPECT_EQ(second.Reset(), 0u);
    dlclose(library);
}

TEST_F(Com, BrokenRegistryEntriesFailCleanly) {
    ComPtr<IUnknown> object;
    RegisterInprocServer(kUnknownClsid, "/nonexistent/plugin.so");
    EXPECT_EQ(CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(object.GetAddressOf())),
              CO_E_DLLNOTFOUND);
    RegisterInprocServer(kUnknownClsid, "libm.so.6");
    EXPECT_EQ(CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(object.GetAddressOf())),
              CO_E_ERRORINDLL);
    RegisterInprocServer(kUnknownClsid, COM_TEST_PLUGIN_PATH);
    EXPECT_EQ(CoCreateInstance(kUnknownClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(object.GetAddressOf())),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_FALSE(object);
    EXPECT_EQ(RegisterInprocServer(kUnknownClsid, ""), E_INVALIDARG);
}

}  // namespace

namespace {

TEST(ComRegistry, ClassesAndThreadPrioritiesComeFromTheDeviceRegistry) {
    testsupport::TempDir root;
    testsupport::ScopedEnv env("DMBTPEG_ROOT", root.Path());
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(RegisterInprocServer(kCounterClsid, COM_TEST_PLUGIN_PATH), S_OK);
    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT,
                           u"CLSID\\" + GuidToWideString(kCounterClsid) + u"\\InprocServer32", u""),
              FromUtf8(COM_TEST_PLUGIN_PATH));

    ComPtr<ICounter> counter;
    ASSERT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, ICounter::kIid,
                               reinterpret_cast<void**>(counter.GetAddressOf())),
              S_OK);
    EXPECT_EQ(counter->Increment(), 1);
    counter = nullptr;

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\DirectShow\\ThreadPriority",
                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD normal = 248;
    RegSetValueEx(key, u"Normal", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&normal),
                  sizeof normal);
    RegCloseKey(key);
    EXPECT_EQ(ConfiguredThreadPriority(u"Normal"), 248u);
    EXPECT_FALSE(ConfiguredThreadPriority(u"Video").has_value());
    CoUninitialize();
}

}  // namespace
