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

TEST(DevicePlugin, RegisteredClassesAreCreatedFromTheRegistryWithTheirPins) {
    testsupport::DevicePlugin plugin;
    ASSERT_TRUE(plugin.Registered());
    EXPECT_EQ(InprocServerOf(CLSID_TdmbTuner), FromUtf8(DEVICES_PLUGIN_PATH));
    EXPECT_EQ(InprocServerOf(CLSID_DataAcquisition), FromUtf8(DEVICES_PLUGIN_PATH));

    auto tuner = plugin.Create<IBaseFilter>(CLSID_TdmbTuner);
    auto data = plugin.Create<IBaseFilter>(CLSID_DataAcquisition);
    ASSERT_TRUE(tuner && data);
    EXPECT_TRUE(tuner.As<ITdmbTunerControl>() && !tuner.As<IDataAcquisition>());
    EXPECT_TRUE(data.As<IDataAcquisition>() && !data.As<ITdmbTunerControl>());
    ComPtr<IPin> out;
    ComPtr<IPin> in;
    EXPECT_EQ(tuner->FindPin(u"DOut", out.GetAddressOf()), S_OK);
    EXPECT_EQ(data->FindPin(u"Data In", in.GetAddressOf()), S_OK);
    EXPECT_TRUE(testsupport::ReceiverGraph(plugin).Ready());
}

}  // namespace
