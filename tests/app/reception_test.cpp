#include "tests/app/service_fixture.h"

using namespace platform;
using testsupport::NavAppStandIn;

namespace {

class Reception : public testsupport::ServiceTest {
  protected:
    Reception() { WriteScanFile({testsupport::TpegService(0xF1E00448, 183008, 5)}); }
};

TEST_F(Reception, StartStepBuildsTunesRunsAndAnnouncesReception) {
    NavAppStandIn navApp;
    TDmbMain& main = Open();
    m_log.Clear();
    StartReception();
    std::string log = LogText();
    EXPECT_NE(log.find("[Lumo DMB] mTsPlayer.CreateGraphBuilder OK!\r\n"), std::string::npos);
    EXPECT_NE(log.find("TDmbMain Filter_TF = TRUE \r\n"), std::string::npos);
    EXPECT_NE(log.find("[ZQ DMB] S_CH_READ = 1 \r\n"), std::string::npos);
    EXPECT_NE(log.find("[TDMBPlayer] mChannelInfo : TPEG\r\n"), std::string::npos);
    EXPECT_NE(log.find("[DMB] Start Tpeg Decoder2\r\n"), std::string::npos);
    EXPECT_EQ(m_device.Commands(),
              (std::vector<std::string>{"set 0 82 0 0", "set 1 183008 0 0", "set 3 -236977080 5 0",
                                        "get 2 0 0 0", "get 4 0 0 0"}));
    EXPECT_EQ(main.mTsPlayer.GetState(), kGraphRunning);
    EXPECT_EQ(StateMessages(navApp, 1), 1u);
    EXPECT_EQ(main.mbTuningPass.load(), 0);
    EXPECT_TRUE(KillTimer(m_hwnd, ID_TIMER_CAMERA));
    EXPECT_TRUE(WaitUntil([&] { return KillTimer(m_hwnd, ID_TIMER_SIGNAL) != FALSE; }))
        << "the worker arms the signal poll";
}

TEST_F(Reception, MismatchingTunerIsRetriedWithOneLinePerPass) {
    Open();
    m_device.SetFrequencyOffset(8);
    m_main->OnServiceTimer(ID_TIMER_START);
    ASSERT_TRUE(WaitUntil(
        [&] { return LogCount("[TDMBPlayer] Frequency is different(183016, 183008)\r\n") >= 3; }));
    EXPECT_EQ(m_main->mbDecoderRunning.load(), 0);
    m_device.SetFrequencyOffset(0);
    m_device.SetServiceOffset(1);
    ASSERT_TRUE(WaitUntil([&] {
        return LogCount("[TDMBPlayer] Channel is diff(-236977079, -236977080)(5, 5)") >= 2;
    }));
    m_device.SetServiceOffset(0);
    ASSERT_TRUE(WaitForTuned());
}

TEST_F(Reception, EndRequestWhileTheWorkerRetriesEndsItAtItsNextFailedPass) {
    Open();
    m_device.FailCommand(kTunerSetFrequency);
    m_main->OnServiceTimer(ID_TIMER_START);
    ASSERT_TRUE(WaitUntil([&] { return m_device.CommandsOf(kTunerSetFrequency).size() >= 2; }));
    gbServiceClosing = 1;
    HANDLE worker = DuplicateHandle(m_main->mhThread.load());
    EXPECT_EQ(WaitForSingleObject(worker, 20000), WAIT_OBJECT_0);
    CloseHandle(worker);
    EXPECT_EQ(LogCount("[TPEG DMB] continue B_DMB_CLOSE_TF \r\n"), 1u);
}

TEST_F(Reception, SignalWatchDeclaresLossOnTheFourthSilentPollAndRecoveryThreeTimes) {
    NavAppStandIn navApp;
    Open();
    StartReception();
    ASSERT_EQ(StateMessages(navApp, 1), 1u);
    // The polls are driven by hand from here on.
    KillTimer(m_hwnd, ID_TIMER_SIGNAL);
    KillTimer(m_hwnd, ID_TIMER_CAMERA);
    auto poll = [&] { m_main->OnServiceTimer(ID_TIMER_SIGNAL); };

    // Right after the start, three polls with signal each repeat state 1.
    for (int i = 0; i < 4; ++i) {
        poll();
    }
    EXPECT_EQ(StateMessages(navApp, 1), 4u);

    m_device.SetSignal(false);
    for (int i = 0; i < 3; ++i) {
        poll();
    }
    EXPECT_EQ(StateMessages(navApp, 0), 0u);
    poll();
    EXPECT_EQ(StateMessages(navApp, 0), 1u);
    EXPECT_EQ(LogCount("[LUMO DMB] NoSignal true \r\n"), 1u);
    poll();
    EXPECT_EQ(StateMessages(navApp, 0), 2u) << "every further silent poll repeats state 0";

    m_device.SetSignal(true);
    for (int i = 0; i < 5; ++i) {
        poll();
    }
    EXPECT_EQ(StateMessages(navApp, 1), 7u);
    EXPECT_EQ(LogCount("[LUMO DMB] NoSignal false \r\n"), 6u);

    // A silent poll in between restarts both counts.
    m_device.SetSignal(false);
    poll();
    m_device.SetSignal(true);
    poll();
    EXPECT_EQ(StateMessages(navApp, 1), 7u);
    EXPECT_EQ(gnNoSignalCount.load(), 0);
}

TEST_F(Reception, FailedSignalQueryChangesNothing) {
    Open();
    StartReception();
    m_device.FailCommand(kTunerGetSignal);
    gnNoSignalCount = 2;
    m_main->OnServiceTimer(ID_TIMER_SIGNAL);
    EXPECT_EQ(gnNoSignalCount.load(), 2);
}

class CameraWindow : public Window {};

TEST_F(Reception, CameraManagerTakesTheTunerAndGivesItBack) {
    NavAppStandIn navApp;
    Open();
    StartReception();
    CameraWindow camera;
    ASSERT_NE(camera.Create(nullptr, u"Lumo_CAMManager_AV", 0, 0, 0, 0, 0), nullptr);

    m_main->OnServiceTimer(ID_TIMER_CAMERA);
    EXPECT_EQ(gbReceptionOn.load(), 0);
    EXPECT_EQ(m_main->mhThread.load(), nullptr);
    EXPECT_EQ(m_device.TunerInstances(), 0);
    EXPECT_EQ(m_decoders.CallsOf("UninitTDC").size(), 1u);
    EXPECT_TRUE(WaitUntil([&] { return SuspendAcks(navApp) == 1; }));
    m_main->OnServiceTimer(ID_TIMER_CAMERA);
    EXPECT_EQ(SuspendAcks(navApp), 1u) << "nothing more while it stays";

    DestroyWindow(camera.GetHwnd());
    m_main->OnServiceTimer(ID_TIMER_CAMERA);
    EXPECT_EQ(gbReceptionOn.load(), 1);
    ASSERT_TRUE(WaitForTuned());
    EXPECT_EQ(m_main->mTsPlayer.GetState(), kGraphRunning);
    EXPECT_EQ(StateMessages(navApp, 1), 2u);
}

TEST_F(Reception, RepeatedGiveUpAndTakeBackLeavesNothingBehind) {
    Open();
    StartReception();
    for (int i = 0; i < 15; ++i) {
        m_main->SetReception(false);
        EXPECT_EQ(m_device.TunerInstances(), 0);
        m_main->SetReception(true);
        // Giving up right after taking back, before the worker tuned, is fine too.
        if (i % 2 == 0) {
            ASSERT_TRUE(WaitForTuned());
        }
    }
    m_main->SetReception(false);
    EXPECT_EQ(m_device.TunerInstances(), 0);
    EXPECT_EQ(m_device.DataFilterInstances(), 0);
}

TEST_F(Reception, NoTpegServiceLeavesTheWorkerWaiting) {
    WriteScanFile({testsupport::TpegService(0x1234)});
    Open();
    m_main->OnServiceTimer(ID_TIMER_START);
    EXPECT_EQ(LogCount("Fail to get channel information \r\n"), 1u);
    Sleep(200);
    EXPECT_TRUE(m_device.CommandsOf(kTunerSetFrequency).empty());
}

}  // namespace
