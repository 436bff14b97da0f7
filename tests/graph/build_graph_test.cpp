#include <gtest/gtest.h>

#include <thread>

#include "graph/build_graph.h"
#include "graph/graph_errors.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "tests/support/fake_device.h"
#include "tests/support/log_capture.h"

using testsupport::CapturingLogSink;

using namespace platform;
using testsupport::FakeDevice;

namespace {

class GraphBuildStep : public testing::Test {
  protected:
    GraphBuildStep() {
        InitializeCriticalSection(&m_lock);
        m_passEnd = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    }
    ~GraphBuildStep() override {
        m_player.StopGraph();
        m_player.DisconnectFilters();
        m_player.RemoveDataFilter();
        m_player.ReleaseGraph();
        CloseHandle(m_passEnd);
        DeleteCriticalSection(&m_lock);
    }
    GraphBuild State() {
        return {m_player, m_channelState, m_tuningPass, m_passEnd, m_lock, 2, 86, 1};
    }

    FakeDevice m_device;
    CTsPlayer m_player;
    std::atomic<std::uint8_t> m_channelState{0};
    std::atomic<std::int32_t> m_tuningPass{0};
    HANDLE m_passEnd = nullptr;
    CRITICAL_SECTION m_lock{};
    CapturingLogSink m_log;
    ScopedLogSink m_guard{m_log};
};

TEST_F(GraphBuildStep, BuildsConnectsAndSetsTheRegion) {
    ASSERT_TRUE(m_player.CreateGraphBuilder());
    EXPECT_TRUE(BuildGraph(State()));
    EXPECT_EQ(m_log.Lines(), std::vector<std::u16string>{u"TDmbMain Filter_TF = TRUE \r\n"});
    EXPECT_EQ(m_device.Commands(), std::vector<std::string>{"set 0 86 1 0"});
}

TEST_F(GraphBuildStep, WithoutAGraphItFailsToCreateFilters) {
    EXPECT_FALSE(BuildGraph(State()));
    EXPECT_EQ(m_log.Lines(), std::vector<std::u16string>{u"TDmbMain Fail to CreateFilters\r\n"});
    EXPECT_EQ(m_player.LastError(), kErrorInvalidData);
}

TEST_F(GraphBuildStep, FailedConnectionIsLoggedWithoutALineEnd) {
    ASSERT_TRUE(m_player.CreateGraphBuilder());
    m_device.RefuseConnection(true);
    EXPECT_FALSE(BuildGraph(State()));
    EXPECT_EQ(m_log.Lines(), std::vector<std::u16string>{u"TDmbMain Fail to Connect filters"});
    EXPECT_TRUE(m_device.Commands().empty());
}

TEST_F(GraphBuildStep, StopStepWaitsForThePassUnderWayAndWithdrawsTheRequest) {
    ASSERT_TRUE(m_player.CreateGraphBuilder());
    ASSERT_TRUE(BuildGraph(State()));
    ASSERT_TRUE(m_player.Play());
    m_channelState = 1;
    m_tuningPass = 1;
    std::atomic<bool> passEnded{false};
    std::thread worker([&] {
        // A worker that sees the withdrawn state ends its pass.
        while (m_channelState.load() == 1) {
            Sleep(1);
        }
        Sleep(20);
        passEnded = true;
        m_tuningPass = 0;
        SetEvent(m_passEnd);
    });
    StopForRebuild(State());
    EXPECT_TRUE(passEnded.load());
    EXPECT_EQ(m_channelState.load(), 0);
    EXPECT_EQ(WaitForSingleObject(m_passEnd, 0), WAIT_TIMEOUT) << "the pass-end signal is consumed";
    EXPECT_EQ(m_player.GetState(), kGraphStopped);
    worker.join();
}

TEST_F(GraphBuildStep, StopStepDoesNotWaitForeverForAPassThatEndedWithoutSignal) {
    ASSERT_TRUE(m_player.CreateGraphBuilder());
    m_channelState = 1;
    m_tuningPass = 1;
    std::thread worker([&] {
        Sleep(20);
        m_tuningPass = 0;  // a pass that had read the old state ends normally
    });
    StopForRebuild(State());
    EXPECT_EQ(m_tuningPass.load(), 0);
    worker.join();
}

}  // namespace
