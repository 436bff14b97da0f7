#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/dshow.h"
#include "platform/filter_graph.h"
#include "tests/support/fake_filter.h"

using namespace platform;
using testsupport::FakeFilter;
using testsupport::MakeFakeFilter;
using testsupport::StateLog;

namespace {

template <typename T>
ULONG CountOf(T* object) {
    object->AddRef();
    return object->Release();
}

ComPtr<IPin> PeerOf(IPin* pin) {
    ComPtr<IPin> peer;
    pin->ConnectedTo(peer.GetAddressOf());
    return peer;
}

class GraphBuilding : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(
            CreateFilterGraph(IID_IGraphBuilder, reinterpret_cast<void**>(m_graph.GetAddressOf())),
            S_OK);
    }

    StateLog m_log;
    ComPtr<FakeFilter> m_source = MakeFakeFilter("source", m_log, {.outputs = 1});
    ComPtr<FakeFilter> m_sink = MakeFakeFilter("sink", m_log, {.inputs = 1});
    ComPtr<IGraphBuilder> m_graph;
};

TEST_F(GraphBuilding, AddAndRemoveFilterHoldAndDropAReference) {
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"Tuner"), S_OK);
    EXPECT_EQ(CountOf(m_source.Get()), 2u);
    // The filter holds no reference to its graph.
    EXPECT_EQ(CountOf(m_graph.Get()), 1u);
    EXPECT_EQ(m_graph->AddFilter(m_source.Get(), u"Other"), E_INVALIDARG);
    {
        ComPtr<IBaseFilter> found;
        EXPECT_EQ(m_graph->FindFilterByName(u"Tuner", found.GetAddressOf()), S_OK);
        EXPECT_EQ(found.Get(), static_cast<IBaseFilter*>(m_source.Get()));
        EXPECT_EQ(m_graph->FindFilterByName(u"tuner", found.ReleaseAndGetAddressOf()),
                  VFW_E_NOT_FOUND);
    }

    ASSERT_EQ(m_graph->RemoveFilter(m_source.Get()), S_OK);
    EXPECT_EQ(m_graph->RemoveFilter(m_source.Get()), VFW_E_NOT_FOUND);
    EXPECT_EQ(CountOf(m_source.Get()), 1u);
}

TEST_F(GraphBuilding, ConnectJoinsBothPinsWhichReportEachOther) {
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"Tuner"), S_OK);
    ASSERT_EQ(m_graph->AddFilter(m_sink.Get(), u"Acquisition"), S_OK);
    ASSERT_EQ(m_graph->Connect(m_source->Output(0), m_sink->Input(0)), S_OK);
    EXPECT_EQ(PeerOf(m_source->Output(0)).Get(), m_sink->Input(0));
    EXPECT_EQ(PeerOf(m_sink->Input(0)).Get(), m_source->Output(0));

    EXPECT_EQ(m_graph->Connect(m_source->Output(0), m_sink->Input(0)), VFW_E_ALREADY_CONNECTED);

    PIN_INFO info{};
    ASSERT_EQ(m_sink->Input(0)->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.pFilter, static_cast<IBaseFilter*>(m_sink.Get()));
    EXPECT_EQ(info.dir, PINDIR_INPUT);
    EXPECT_EQ(std::u16string(info.achName), u"In0");
    info.pFilter->Release();

    // Disconnect(pin) breaks one side only, as documented.
    EXPECT_EQ(m_graph->Disconnect(m_sink->Input(0)), S_OK);
    EXPECT_FALSE(PeerOf(m_sink->Input(0)));
    EXPECT_TRUE(PeerOf(m_source->Output(0)));
    EXPECT_EQ(m_graph->Disconnect(m_sink->Input(0)), S_FALSE);
    EXPECT_EQ(m_graph->Disconnect(m_source->Output(0)), S_OK);
    EXPECT_FALSE(PeerOf(m_source->Output(0)));
}

TEST_F(GraphBuilding, ConnectReturnsWhatTheOutputPinReturned) {
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"Tuner"), S_OK);
    ASSERT_EQ(m_graph->AddFilter(m_sink.Get(), u"Acquisition"), S_OK);
    m_source->connectSuccess = S_FALSE;
    EXPECT_EQ(m_graph->Connect(m_source->Output(0), m_sink->Input(0)), S_FALSE);
    EXPECT_TRUE(PeerOf(m_sink->Input(0)));
}

TEST_F(GraphBuilding, ConnectRefusesForeignFiltersAndWrongDirections) {
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"Tuner"), S_OK);
    EXPECT_EQ(m_graph->Connect(m_source->Output(0), m_sink->Input(0)), VFW_E_NOT_IN_GRAPH);
    ASSERT_EQ(m_graph->AddFilter(m_sink.Get(), u"Acquisition"), S_OK);
    auto otherSource = MakeFakeFilter("other", m_log, {.outputs = 1});
    ASSERT_EQ(m_graph->AddFilter(otherSource.Get(), u"Other"), S_OK);
    EXPECT_EQ(m_graph->Connect(m_source->Output(0), otherSource->Output(0)),
              VFW_E_INVALID_DIRECTION);
    EXPECT_FALSE(PeerOf(m_source->Output(0)));
    EXPECT_FALSE(PeerOf(otherSource->Output(0)));
}

TEST_F(GraphBuilding, RemovingAConnectedFilterDisconnectsBothSides) {
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"Tuner"), S_OK);
    ASSERT_EQ(m_graph->AddFilter(m_sink.Get(), u"Acquisition"), S_OK);
    ASSERT_EQ(m_graph->Connect(m_source->Output(0), m_sink->Input(0)), S_OK);
    ASSERT_EQ(m_graph->RemoveFilter(m_sink.Get()), S_OK);
    EXPECT_FALSE(PeerOf(m_source->Output(0)));
    EXPECT_FALSE(PeerOf(m_sink->Input(0)));
    // Neither filter is kept alive by the other any more.
    EXPECT_EQ(CountOf(m_sink.Get()), 1u);
    EXPECT_EQ(CountOf(m_source.Get()), 2u);
}

TEST_F(GraphBuilding, ReleasingTheGraphFreesConnectedFilters) {
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"Tuner"), S_OK);
    ASSERT_EQ(m_graph->AddFilter(m_sink.Get(), u"Acquisition"), S_OK);
    ASSERT_EQ(m_graph->Connect(m_source->Output(0), m_sink->Input(0)), S_OK);
    ASSERT_EQ(m_graph.As<IMediaControl>()->Run(), S_OK);
    EXPECT_EQ(m_graph.Reset(), 0u);
    EXPECT_EQ(m_source->State(), State_Stopped);
    EXPECT_EQ(CountOf(m_source.Get()), 1u);
    EXPECT_EQ(CountOf(m_sink.Get()), 1u);
}

TEST_F(GraphBuilding, PinsRefuseToChangeConnectionsWhileActive) {
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"Tuner"), S_OK);
    ASSERT_EQ(m_graph->AddFilter(m_sink.Get(), u"Acquisition"), S_OK);
    ASSERT_EQ(m_graph.As<IMediaControl>()->Pause(), S_OK);
    EXPECT_EQ(m_graph->Connect(m_source->Output(0), m_sink->Input(0)), VFW_E_NOT_STOPPED);
    ASSERT_EQ(m_graph.As<IMediaControl>()->Stop(), S_OK);
    EXPECT_EQ(m_graph->Connect(m_source->Output(0), m_sink->Input(0)), S_OK);
}

}  // namespace
