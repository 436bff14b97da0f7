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
using Log = std::vector<std::string>;

namespace {

// source -> middle -> sink, added upstream first so that addition order and
// the documented downstream-first order differ.
class GraphControl : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(
            CreateFilterGraph(IID_IGraphBuilder, reinterpret_cast<void**>(m_graph.GetAddressOf())),
            S_OK);
        ASSERT_EQ(m_graph.As(&m_control), S_OK);
        ASSERT_EQ(m_graph->AddFilter(m_source.Get(), u"source"), S_OK);
        ASSERT_EQ(m_graph->AddFilter(m_middle.Get(), u"middle"), S_OK);
        ASSERT_EQ(m_graph->AddFilter(m_sink.Get(), u"sink"), S_OK);
        ASSERT_EQ(m_graph->Connect(m_source->Output(0), m_middle->Input(0)), S_OK);
        ASSERT_EQ(m_graph->Connect(m_middle->Output(0), m_sink->Input(0)), S_OK);
    }

    OAFilterState GraphState() {
        OAFilterState state = -1;
        EXPECT_EQ(m_control->GetState(0, &state), S_OK);
        return state;
    }

    StateLog m_log;
    ComPtr<FakeFilter> m_source = MakeFakeFilter("source", m_log, {.outputs = 1});
    ComPtr<FakeFilter> m_middle = MakeFakeFilter("middle", m_log, {.inputs = 1, .outputs = 1});
    ComPtr<FakeFilter> m_sink = MakeFakeFilter("sink", m_log, {.inputs = 1});
    ComPtr<IGraphBuilder> m_graph;
    ComPtr<IMediaControl> m_control;
};

TEST_F(GraphControl, RunFromStoppedPausesEveryFilterThenRunsThemDownstreamFirst) {
    ASSERT_EQ(m_control->Run(), S_OK);
    EXPECT_EQ(m_log.Entries(), (Log{"sink:pause", "middle:pause", "source:pause", "sink:run",
                                    "middle:run", "source:run"}));
    EXPECT_EQ(GraphState(), State_Running);
    EXPECT_EQ(m_source->State(), State_Running);
    EXPECT_EQ(m_control->Run(), S_OK);
    EXPECT_EQ(m_log.Entries().size(), 6u);
}

TEST_F(GraphControl, StopFromRunningPassesThroughPaused) {
    ASSERT_EQ(m_control->Run(), S_OK);
    m_log.Clear();
    ASSERT_EQ(m_control->Stop(), S_OK);
    EXPECT_EQ(m_log.Entries(), (Log{"sink:pause", "middle:pause", "source:pause", "sink:stop",
                                    "middle:stop", "source:stop"}));
    EXPECT_EQ(GraphState(), State_Stopped);
    m_log.Clear();
    ASSERT_EQ(m_control->Pause(), S_OK);
    ASSERT_EQ(m_control->Pause(), S_OK);
    EXPECT_EQ(m_log.Entries(), (Log{"sink:pause", "middle:pause", "source:pause"}));
    EXPECT_EQ(GraphState(), State_Paused);
}

TEST_F(GraphControl, MediaFilterViewReportsTheSameState) {
    ComPtr<IMediaFilter> filter;
    ASSERT_EQ(m_graph.As(&filter), S_OK);
    ASSERT_EQ(m_control->Pause(), S_OK);
    FILTER_STATE state = State_Stopped;
    EXPECT_EQ(filter->GetState(100, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
    EXPECT_EQ(filter->Run(0), S_OK);
    EXPECT_EQ(GraphState(), State_Running);
}

TEST_F(GraphControl, FailedRunStopsEveryFilterAndReportsTheFailure) {
    m_middle->runResult = E_FAIL;
    EXPECT_EQ(m_control->Run(), E_FAIL);
    EXPECT_EQ(GraphState(), State_Stopped);
    for (const auto& filter : {m_source, m_middle, m_sink}) {
        EXPECT_EQ(filter->State(), State_Stopped);
    }
    // Every filter was asked to run although one failed.
    Log entries = m_log.Entries();
    EXPECT_NE(std::find(entries.begin(), entries.end(), "source:run"), entries.end());
}

TEST_F(GraphControl, IntermediateStatesAreReported) {
    m_sink->pauseResult = S_FALSE;
    EXPECT_EQ(m_control->Pause(), S_FALSE);
    EXPECT_EQ(GraphState(), State_Paused);
}

TEST(GraphWindowAndAudio, StoreVisibilityAndVolumeAndRefuseValuesOutOfRange) {
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(CreateFilterGraph(IID_IGraphBuilder, reinterpret_cast<void**>(graph.GetAddressOf())),
              S_OK);
    ComPtr<IVideoWindow> window;
    ComPtr<IBasicAudio> audio;
    ASSERT_EQ(graph.As(&window), S_OK);
    ASSERT_EQ(graph.As(&audio), S_OK);

    long visible = OATRUE;
    EXPECT_EQ(window->get_Visible(&visible), S_OK);
    EXPECT_EQ(visible, OAFALSE);
    EXPECT_EQ(window->put_Visible(OATRUE), S_OK);
    EXPECT_EQ(window->get_Visible(&visible), S_OK);
    EXPECT_EQ(visible, OATRUE);
    EXPECT_EQ(window->put_Visible(5), E_INVALIDARG);
    EXPECT_EQ(window->put_Owner(0), S_OK);

    long volume = 1;
    EXPECT_EQ(audio->get_Volume(&volume), S_OK);
    EXPECT_EQ(volume, 0);
    EXPECT_EQ(audio->put_Volume(-10000), S_OK);
    EXPECT_EQ(audio->put_Volume(1), E_INVALIDARG);
    EXPECT_EQ(audio->put_Volume(-10001), E_INVALIDARG);
    EXPECT_EQ(audio->get_Volume(&volume), S_OK);
    EXPECT_EQ(volume, -10000);
    EXPECT_EQ(audio->get_Volume(nullptr), E_POINTER);
}

}  // namespace
