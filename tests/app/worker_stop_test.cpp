#include "tests/app/service_fixture.h"

using namespace platform;
using testsupport::NavAppStandIn;
using testsupport::ReceivedMessage;

namespace {

class CameraWindow : public Window {};

class WorkerStop : public testsupport::ServiceTest {
  protected:
    WorkerStop() { WriteScanFile({testsupport::TpegService()}); }

    // Brings reception up with a navigation application that, while it handles
    // the first state message, sends `request` back to the service: the worker
    // is then in its send, the navigation application in its send to this
    // thread, and nothing on this thread handles that send yet.
    void StartWithNavAppSendingBack(NavAppStandIn& navApp, WPARAM request) {
        HWND service = Open().GetHwnd();
        navApp.OnMessage([this, service, request](const ReceivedMessage& m) {
            if (m.message == WM_DMBANTLV.load() && !m_sentBack.exchange(true)) {
                SendMessage(service, WM_NAVAPP_REQUEST, request, 0);
            }
        });
        m_main->OnServiceTimer(ID_TIMER_START);
        ASSERT_TRUE(WaitUntil([&] { return m_sentBack.load(); }));
    }

    std::atomic<bool> m_sentBack{false};
};

TEST_F(WorkerStop, GiveUpWhileTheNavigationApplicationSendsBackEndsTheWorker) {
    NavAppStandIn navApp;
    StartWithNavAppSendingBack(navApp, kNavAppStatus);
    m_main->SetReception(false);
    EXPECT_EQ(m_main->mhThread.load(), nullptr);
    EXPECT_EQ(m_device.TunerInstances(), 0);
    EXPECT_EQ(StateMessages(navApp, 1), 2u) << "the status request was answered during the wait";
}

TEST_F(WorkerStop, EndWhileTheNavigationApplicationSendsBackShutsDown) {
    NavAppStandIn navApp;
    StartWithNavAppSendingBack(navApp, kNavAppStatus);
    m_main->WindowProc(WM_NAVAPP_REQUEST, kNavAppEnd, 0);
    EXPECT_EQ(m_main->mhThread.load(), nullptr);
    EXPECT_EQ(m_device.TunerInstances(), 0);
    EXPECT_EQ(m_decoders.CallsOf("UninitTDC").size(), 1u);
}

TEST_F(WorkerStop, EndRequestReceivedDuringAGiveUpRunsWhenTheGiveUpHasReturned) {
    NavAppStandIn navApp;
    StartWithNavAppSendingBack(navApp, kNavAppEnd);
    CameraWindow camera;
    ASSERT_NE(camera.Create(nullptr, u"Lumo_CAMManager_RV", 0, 0, 0, 0, 0), nullptr);
    m_log.Clear();
    m_main->WindowProc(WM_TIMER, ID_TIMER_CAMERA, 0);
    std::string log = LogText();
    ASSERT_NE(log.find("ROVAN_END\r\n"), std::string::npos);
    EXPECT_LT(log.find("[Lumo DMB] mhThread! \r\n"), log.find("[Lumo DMB] DestoryWindow Call!\r\n"))
        << "the shutdown waits for the give-up it interrupted";
    EXPECT_EQ(LogCount("[Lumo DMB] DestoryWindow Call!\r\n"), 1u);
    EXPECT_EQ(m_main->mhThread.load(), nullptr);
    EXPECT_EQ(m_device.TunerInstances(), 0);
    MSG msg;
    EXPECT_TRUE(PeekMessage(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(WorkerStop, PassThatSucceedsDuringAGiveUpStartsNothing) {
    NavAppStandIn navApp;
    Open();
    // The pass reads the service back only once the give-up has begun.
    m_device.OnTunerCall([this](bool, int command) {
        if (command == kTunerGetService) {
            WaitForSingleObject(m_main->mhQuitEvent, 2000000);
        }
    });
    m_main->OnServiceTimer(ID_TIMER_START);
    ASSERT_TRUE(WaitUntil([&] { return !m_device.CommandsOf(kTunerGetFrequency).empty(); }));
    m_main->SetReception(false);
    EXPECT_TRUE(m_decoders.CallsOf("StartTpegDecoder").empty());
    EXPECT_EQ(StateMessages(navApp, 1), 0u);
    EXPECT_FALSE(KillTimer(m_hwnd, ID_TIMER_SIGNAL)) << "no signal poll after the give-up";
}

TEST_F(WorkerStop, StrayPassEndSignalDoesNotEndTheWorker) {
    Open();
    StartReception();
    SetEvent(m_main->mhPassEndEvent);
    EXPECT_EQ(WaitForSingleObject(m_main->mhThread.load(), 10000), WAIT_TIMEOUT);
    // A later tuning request is still served.
    m_device.ClearCommands();
    m_main->mChannelState = kChannelInvalid;
    m_main->UpdateChannelInfo();
    EXPECT_TRUE(WaitUntil([&] { return !m_device.CommandsOf(kTunerGetService).empty(); }));
}

}  // namespace
