#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com_ptr.h"
#include "platform/dshow.h"
#include "platform/filter_graph.h"
#include "platform/media_type.h"
#include "platform/text.h"
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

std::u16string NameOf(IBaseFilter* filter) {
    FILTER_INFO info{};
    EXPECT_EQ(filter->QueryFilterInfo(&info), S_OK);
    if (info.pGraph != nullptr) {
        info.pGraph->Release();
    }
    return info.achName;
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

TEST_F(GraphBuilding, AddFilterJoinsWithUniqueNamesAndHoldsAReference) {
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"Tuner"), S_OK);
    EXPECT_EQ(CountOf(m_source.Get()), 2u);
    FILTER_INFO info{};
    ASSERT_EQ(m_source->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(std::u16string(info.achName), u"Tuner");
    EXPECT_EQ(info.pGraph, static_cast<IFilterGraph*>(m_graph.Get()));
    info.pGraph->Release();
    // The filter holds no reference to its graph.
    EXPECT_EQ(CountOf(m_graph.Get()), 1u);

    EXPECT_EQ(m_graph->AddFilter(m_sink.Get(), u"Tuner"), VFW_S_DUPLICATE_NAME);
    EXPECT_EQ(NameOf(m_sink.Get()), u"Tuner 0001");
    EXPECT_EQ(m_graph->AddFilter(m_sink.Get(), u"Other"), E_INVALIDARG);

    ComPtr<IBaseFilter> found;
    EXPECT_EQ(m_graph->FindFilterByName(u"Tuner 0001", found.GetAddressOf()), S_OK);
    EXPECT_EQ(found.Get(), static_cast<IBaseFilter*>(m_sink.Get()));
    EXPECT_EQ(m_graph->FindFilterByName(u"tuner", found.ReleaseAndGetAddressOf()), VFW_E_NOT_FOUND);
    EXPECT_FALSE(found);

    ComPtr<IEnumFilters> filters;
    ASSERT_EQ(m_graph->EnumFilters(filters.GetAddressOf()), S_OK);
    IBaseFilter* listed[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(filters->Next(3, listed, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(listed[0], static_cast<IBaseFilter*>(m_source.Get()));
    EXPECT_EQ(listed[1], static_cast<IBaseFilter*>(m_sink.Get()));
    listed[0]->Release();
    listed[1]->Release();
}

TEST_F(GraphBuilding, LongNamesAreCutAndStillMadeUnique) {
    std::u16string longName(200, u'x');
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), longName.c_str()), S_OK);
    EXPECT_EQ(NameOf(m_source.Get()), longName.substr(0, 127));
    ASSERT_EQ(m_graph->AddFilter(m_sink.Get(), longName.c_str()), VFW_S_DUPLICATE_NAME);
    std::u16string second = NameOf(m_sink.Get());
    EXPECT_EQ(second.size(), 127u);
    EXPECT_EQ(second.substr(122), u" 0001");
}

TEST_F(GraphBuilding, RemoveFilterLeavesTheGraphAndDropsItsReference) {
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"Tuner"), S_OK);
    ASSERT_EQ(m_graph->RemoveFilter(m_source.Get()), S_OK);
    EXPECT_EQ(m_graph->RemoveFilter(m_source.Get()), VFW_E_NOT_FOUND);
    EXPECT_EQ(CountOf(m_source.Get()), 1u);
    FILTER_INFO info{};
    ASSERT_EQ(m_source->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(info.pGraph, nullptr);
    // The name is free again.
    EXPECT_EQ(m_graph->AddFilter(m_sink.Get(), u"Tuner"), S_OK);
}

TEST_F(GraphBuilding, ConnectJoinsBothPinsWhichReportEachOther) {
    ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"Tuner"), S_OK);
    ASSERT_EQ(m_graph->AddFilter(m_sink.Get(), u"Acquisition"), S_OK);
    ASSERT_EQ(m_graph->Connect(m_source->Output(0), m_sink->Input(0)), S_OK);
    EXPECT_EQ(PeerOf(m_source->Output(0)).Get(), m_sink->Input(0));
    EXPECT_EQ(PeerOf(m_sink->Input(0)).Get(), m_source->Output(0));
    AM_MEDIA_TYPE type{};
    EXPECT_EQ(m_sink->Input(0)->ConnectionMediaType(&type), S_OK);
    FreeMediaType(type);

    EXPECT_EQ(m_graph->Connect(m_source->Output(0), m_sink->Input(0)), VFW_E_ALREADY_CONNECTED);

    PIN_INFO info{};
    ASSERT_EQ(m_sink->Input(0)->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.pFilter, static_cast<IBaseFilter*>(m_sink.Get()));
    EXPECT_EQ(info.dir, PINDIR_INPUT);
    EXPECT_EQ(std::u16string(info.achName), u"In0");
    info.pFilter->Release();
    ComPtr<IPin> byId;
    EXPECT_EQ(m_sink->FindPin(u"In0", byId.GetAddressOf()), S_OK);
    EXPECT_EQ(byId.Get(), m_sink->Input(0));

    // Disconnect(pin) breaks one side only, as documented.
    EXPECT_EQ(m_graph->Disconnect(m_sink->Input(0)), S_OK);
    EXPECT_FALSE(PeerOf(m_sink->Input(0)));
    EXPECT_TRUE(PeerOf(m_source->Output(0)));
    EXPECT_EQ(m_graph->Disconnect(m_sink->Input(0)), S_FALSE);
    EXPECT_EQ(m_graph->Disconnect(m_source->Output(0)), S_OK);
    EXPECT_EQ(m_sink->Input(0)->ConnectionMediaType(&type), VFW_E_NOT_CONNECTED);
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
    EXPECT_EQ(m_graph->ConnectDirect(m_source->Output(0), otherSource->Output(0), nullptr),
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
