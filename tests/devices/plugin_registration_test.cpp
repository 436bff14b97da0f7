#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/text.h"
#include "tests/support/device_plugin.h"

namespace {

using namespace platform;

std::u16string InprocServerOf(const CLSID& clsid) {
    const std::u16string key = u"CLSID\\" + GuidToWideString(clsid) + u"\\InprocServer32";
    return RegGetString(HKEY_CLASSES_ROOT, key, u"").value_or(u"");
}

TEST(DevicePlugin, RegistersBothClassesWithItsOwnPath) {
    testsupport::DevicePlugin plugin;
    ASSERT_TRUE(plugin.Registered());
    EXPECT_EQ(InprocServerOf(CLSID_TdmbTuner), FromUtf8(DEVICES_PLUGIN_PATH));
    EXPECT_EQ(InprocServerOf(CLSID_DataAcquisition), FromUtf8(DEVICES_PLUGIN_PATH));
}

TEST(DevicePlugin, CreatesFiltersWithTheirPinsAndInterfaces) {
    testsupport::DevicePlugin plugin;
    ASSERT_TRUE(plugin.Registered());
    auto tuner = plugin.Create<IBaseFilter>(CLSID_TdmbTuner);
    auto data = plugin.Create<IBaseFilter>(CLSID_DataAcquisition);
    ASSERT_TRUE(tuner);
    ASSERT_TRUE(data);
    EXPECT_TRUE(tuner.As<ITdmbTunerControl>());
    EXPECT_FALSE(tuner.As<IDataAcquisition>());
    EXPECT_TRUE(data.As<IDataAcquisition>());
    EXPECT_FALSE(data.As<ITdmbTunerControl>());

    ComPtr<IPin> out;
    ComPtr<IPin> in;
    ASSERT_EQ(tuner->FindPin(u"DOut", out.GetAddressOf()), S_OK);
    ASSERT_EQ(data->FindPin(u"Data In", in.GetAddressOf()), S_OK);
    PIN_DIRECTION direction = PINDIR_INPUT;
    out->QueryDirection(&direction);
    EXPECT_EQ(direction, PINDIR_OUTPUT);
    in->QueryDirection(&direction);
    EXPECT_EQ(direction, PINDIR_INPUT);

    CLSID clsid{};
    tuner->GetClassID(&clsid);
    EXPECT_EQ(clsid, CLSID_TdmbTuner);
}

TEST(DevicePlugin, ConnectsTunerToDataFilterInAGraph) {
    testsupport::DevicePlugin plugin;
    testsupport::ReceiverGraph graph(plugin);
    EXPECT_TRUE(graph.Ready());
}

}  // namespace
