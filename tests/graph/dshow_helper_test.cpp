#include <gtest/gtest.h>

#include "graph/dshow_helper.h"
#include "graph/graph_errors.h"
#include "platform/com_ptr.h"
#include "tests/support/fake_device.h"

using namespace platform;
using testsupport::FakeDevice;

namespace {

// Reference count of an object, read without changing it.
ULONG References(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

class Helper : public testing::Test {
  protected:
    Helper() {
        CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                         reinterpret_cast<void**>(m_graph.GetAddressOf()));
        m_helper.mpGraph = m_graph.Get();
    }
    ~Helper() override {
        for (IBaseFilter* f : {m_tuner, m_data}) {
            if (f != nullptr) {
                m_graph->RemoveFilter(f);
                f->Release();
            }
        }
    }

    FakeDevice m_device;
    ComPtr<IGraphBuilder> m_graph;
    DShowHelper m_helper;
    IBaseFilter* m_tuner = nullptr;
    IBaseFilter* m_data = nullptr;
};

TEST_F(Helper, FreshHelperHoldsNoError) {
    DShowHelper helper;
    EXPECT_EQ(helper.mnErrorCode, 0);
    EXPECT_STREQ(helper.mszErrorText, "Error none");
}

TEST_F(Helper, FilledSlotSucceedsWithoutCreatingAnything) {
    ASSERT_TRUE(m_helper.CreateFilter(CLSID_TdmbTuner, "TCC TDMBTune", &m_tuner));
    IBaseFilter* before = m_tuner;
    EXPECT_TRUE(m_helper.CreateFilter(CLSID_TdmbTuner, "TCC TDMBTune", &m_tuner));
    EXPECT_EQ(m_tuner, before);
    EXPECT_EQ(m_device.TunerInstances(), 1);
    IBaseFilter* found = nullptr;
    EXPECT_EQ(m_graph->FindFilterByName(u"TCC TDMBTune", &found), S_OK);
    found->Release();
}

TEST_F(Helper, UnknownClassPrintsItsNameAndLeavesTheSlotEmpty) {
    const CLSID unknown{0x12345678, 0, 0, {1, 2, 3, 4, 5, 6, 7, 8}};
    testing::internal::CaptureStdout();
    EXPECT_FALSE(m_helper.CreateFilter(unknown, "Mystery", &m_data));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "DShowHelper::CreateFilter() Mystery creation failed");
    EXPECT_EQ(m_data, nullptr);
}

TEST_F(Helper, PinNamesMatchIgnoringCaseAndDirection) {
    ASSERT_TRUE(m_helper.CreateFilter(CLSID_TdmbTuner, "TCC TDMBTune", &m_tuner));
    IPin* pin = nullptr;
    EXPECT_TRUE(m_helper.FindPin(m_tuner, PINDIR_OUTPUT, "dout", &pin));
    pin->Release();
    EXPECT_FALSE(m_helper.FindPin(m_tuner, PINDIR_INPUT, "DOut", &pin));
    EXPECT_EQ(m_helper.mnErrorCode, kHelperErrorNoPin);
}

TEST_F(Helper, MissingPinFailsTheConnectionAndHoldsNoReference) {
    ASSERT_TRUE(m_helper.CreateFilter(CLSID_TdmbTuner, "TCC TDMBTune", &m_tuner));
    ASSERT_TRUE(m_helper.CreateFilter(CLSID_DataAcquisition, "TCCDataAcquisitionFilter", &m_data));
    ULONG tunerRefs = References(m_tuner);
    ULONG dataRefs = References(m_data);
    EXPECT_FALSE(m_helper.ConnectPins(m_tuner, "DOut", m_data, "Wrong In"));
    EXPECT_EQ(m_helper.mnErrorCode, kHelperErrorNoPin);
    EXPECT_EQ(References(m_tuner), tunerRefs);
    EXPECT_EQ(References(m_data), dataRefs);
    EXPECT_FALSE(m_helper.ConnectPins(m_tuner, "Nope", m_data, "Data In"));
    EXPECT_EQ(References(m_data), dataRefs);

    EXPECT_TRUE(m_helper.ConnectPins(m_tuner, "DOut", m_data, "Data In"));
    EXPECT_TRUE(m_helper.DisconnectPins(m_tuner, "DOut", m_data, "Data In"));
    EXPECT_EQ(References(m_tuner), tunerRefs);
    EXPECT_EQ(References(m_data), dataRefs);
}

TEST_F(Helper, RefusedConnectionIsAFailure) {
    ASSERT_TRUE(m_helper.CreateFilter(CLSID_TdmbTuner, "TCC TDMBTune", &m_tuner));
    ASSERT_TRUE(m_helper.CreateFilter(CLSID_DataAcquisition, "TCCDataAcquisitionFilter", &m_data));
    m_device.RefuseConnection(true);
    EXPECT_FALSE(m_helper.ConnectPins(m_tuner, "DOut", m_data, "Data In"));
    EXPECT_FALSE(m_helper.DisconnectPins(m_tuner, "DOut", m_data, "Data In"));
}

TEST_F(Helper, AudioLevelIsClampedToTheTable) {
    EXPECT_TRUE(m_helper.SetAudioLevel(200));
    ComPtr<IBasicAudio> audio;
    ASSERT_EQ(
        m_graph->QueryInterface(IID_IBasicAudio, reinterpret_cast<void**>(audio.GetAddressOf())),
        S_OK);
    long volume = 1;
    audio->get_Volume(&volume);
    EXPECT_EQ(volume, 0);
    EXPECT_TRUE(m_helper.SetAudioLevel(1));
    audio->get_Volume(&volume);
    EXPECT_EQ(volume, -5754);
    DShowHelper noGraph;
    EXPECT_FALSE(noGraph.SetAudioLevel(3));
}

TEST_F(Helper, VideoWindowIsHiddenAndDetachedWithoutARenderer) {
    EXPECT_TRUE(m_helper.DetachVideoWindow());
    ComPtr<IVideoWindow> video;
    ASSERT_EQ(
        m_graph->QueryInterface(IID_IVideoWindow, reinterpret_cast<void**>(video.GetAddressOf())),
        S_OK);
    long visible = OATRUE;
    video->get_Visible(&visible);
    EXPECT_EQ(visible, OAFALSE);
    DShowHelper noGraph;
    EXPECT_FALSE(noGraph.DetachVideoWindow());
}

}  // namespace
