#include <gtest/gtest.h>

#include "graph/graph_errors.h"
#include "graph/ts_player.h"
#include "platform/com_ptr.h"
#include "tests/support/fake_device.h"

using namespace platform;
using testsupport::FakeDevice;

namespace {

std::intptr_t Feed(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {
    return 0;
}

class Player : public testing::Test {
  protected:
    ~Player() override {
        m_player.StopGraph();
        m_player.DisconnectFilters();
        m_player.RemoveDataFilter();
        m_player.ReleaseGraph();
    }
    void Build() {
        ASSERT_TRUE(m_player.CreateGraphBuilder());
        ASSERT_TRUE(m_player.CreateFilters(kGraphModeData));
        ASSERT_TRUE(m_player.ConnectFilters());
    }

    FakeDevice m_device;
    CTsPlayer m_player{&Feed};
};

TEST_F(Player, GraphAndTunerAreCreatedOnceAndReused) {
    EXPECT_TRUE(m_player.CreateGraphBuilder());
    EXPECT_TRUE(m_player.CreateGraphBuilder());
    EXPECT_EQ(m_device.TunerInstances(), 1);
}

TEST_F(Player, ConnectRegistersTheDataCallbackWithThePlayerAsContext) {
    Build();
    EXPECT_TRUE(m_player.Connected());
    EXPECT_EQ(m_device.Callback(), &Feed);
    EXPECT_EQ(m_device.CallbackContext(), &m_player);

    m_device.RememberCallback(nullptr, nullptr);
    EXPECT_TRUE(m_player.ConnectFilters());
    EXPECT_EQ(m_device.Callback(), nullptr) << "an existing connection registers nothing again";
}

TEST_F(Player, ScanModeKeepsTheFlagAndDataModeReconnects) {
    Build();
    EXPECT_TRUE(m_player.CreateFilters(kGraphModeScan));
    EXPECT_TRUE(m_player.Connected()) << "the scan topology cannot be disconnected by mode";
    EXPECT_EQ(m_device.DataFilterInstances(), 0);

    EXPECT_TRUE(m_player.CreateFilters(kGraphModeData));
    EXPECT_FALSE(m_player.Connected());
    EXPECT_EQ(m_device.DataFilterInstances(), 1);
    EXPECT_TRUE(m_player.ConnectFilters());
    EXPECT_TRUE(m_player.Connected());
}

TEST_F(Player, ConnectInScanModeFailsWithInvalidHandle) {
    ASSERT_TRUE(m_player.CreateGraphBuilder());
    ASSERT_TRUE(m_player.CreateFilters(kGraphModeScan));
    EXPECT_FALSE(m_player.ConnectFilters());
    EXPECT_EQ(m_player.LastError(), kErrorInvalidHandle);
}

TEST_F(Player, FailedConnectionIsReportedWithItsCode) {
    ASSERT_TRUE(m_player.CreateGraphBuilder());
    ASSERT_TRUE(m_player.CreateFilters(kGraphModeData));
    m_device.RefuseConnection(true);
    EXPECT_FALSE(m_player.ConnectFilters());
    EXPECT_EQ(m_player.LastError(), kErrorConnect);
    EXPECT_FALSE(m_player.Connected());
}

TEST_F(Player, DataFilterThatCannotBeCreatedLeavesInvalidData) {
    ASSERT_TRUE(m_player.CreateGraphBuilder());
    m_device.RefuseDataFilter(true);
    EXPECT_FALSE(m_player.CreateFilters(kGraphModeData));
    EXPECT_EQ(m_player.LastError(), kErrorInvalidData);
    EXPECT_FALSE(m_player.CreateFilters(7));
}

TEST_F(Player, PlayRunsAStoppedGraphAndResumesAPausedOne) {
    Build();
    EXPECT_TRUE(m_player.Play());
    EXPECT_EQ(m_player.GetState(), kGraphRunning);
    EXPECT_TRUE(m_player.Pause());
    EXPECT_EQ(m_player.GetState(), kGraphPaused);
    EXPECT_TRUE(m_player.Play());
    EXPECT_EQ(m_player.GetState(), kGraphRunning);
    EXPECT_TRUE(m_player.StopGraph());
    EXPECT_EQ(m_player.GetState(), kGraphStopped);
    EXPECT_EQ(m_player.LastError(), kErrorNone);
}

TEST_F(Player, TogglePauseOnAStoppedGraphIsNotReadyUntilPlayClearsIt) {
    Build();
    EXPECT_FALSE(m_player.TogglePause());
    EXPECT_EQ(m_player.LastError(), kErrorNotReady);
    EXPECT_TRUE(m_player.Play());
    EXPECT_EQ(m_player.LastError(), kErrorNone);
    EXPECT_TRUE(m_player.TogglePause());
    EXPECT_EQ(m_player.GetState(), kGraphPaused);
}

TEST_F(Player, CallsWithoutAGraphFailWithNoObject) {
    TunerParam record{};
    EXPECT_FALSE(m_player.GetTunerParam(kTunerGetFrequency, &record));
    EXPECT_EQ(m_player.LastError(), kErrorNoObject);
    EXPECT_FALSE(m_player.Stop());
    EXPECT_EQ(m_player.GetState(), kGraphUndetermined);
    EXPECT_FALSE(m_player.RemoveDataFilter());
    EXPECT_TRUE(m_player.ReleaseGraph());
    EXPECT_TRUE(m_player.Play()) << "Play reports success whatever happened";
    EXPECT_EQ(m_player.LastError(), kErrorNone);
}

TEST_F(Player, TunerCommandsReachTheTunerOrReportARefusedInterface) {
    Build();
    TunerParam record{};
    record.word[1] = 183008;
    EXPECT_TRUE(m_player.SetTunerParam(kTunerSetFrequency, &record));
    record = {};
    EXPECT_TRUE(m_player.GetTunerParam(kTunerGetFrequency, &record));
    EXPECT_EQ(record.word[1], 183008);

    m_device.FailCommand(kTunerGetFrequency);
    EXPECT_FALSE(m_player.GetTunerParam(kTunerGetFrequency, &record));

    m_device.RefuseTunerInterface(true);
    EXPECT_FALSE(m_player.SetTunerParam(kTunerSetFrequency, &record));
    EXPECT_EQ(m_player.LastError(), kErrorNoInterface);
}

TEST_F(Player, AudioCommandsSetTheLevelAndAlwaysReturnZero) {
    Build();
    std::uint32_t level = 7;
    EXPECT_EQ(m_player.AudioCommand(kAudioSetLevel, &level), 0);
    EXPECT_EQ(m_player.AudioCommand(kAudioMute, &level), 0);
    EXPECT_EQ(m_player.AudioCommand(0x1234, nullptr), 0);
}

TEST_F(Player, TearDownReleasesBothFilters) {
    Build();
    m_player.StopGraph();
    m_player.DisconnectFilters();
    m_player.RemoveDataFilter();
    m_player.ReleaseGraph();
    EXPECT_EQ(m_device.TunerInstances(), 0);
    EXPECT_EQ(m_device.DataFilterInstances(), 0);
}

}  // namespace
