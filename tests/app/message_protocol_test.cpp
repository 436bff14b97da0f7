#include "tests/app/service_fixture.h"

using namespace platform;
using testsupport::NavAppStandIn;

namespace {

class Protocol : public testsupport::ServiceTest {
  protected:
    bool QuitRequested() {
        MSG msg;
        return PeekMessage(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) && msg.message == WM_QUIT;
    }
};

TEST_F(Protocol, CloseBeforeTheStartStepEndsAServiceThatOwnsNothing) {
    Open();
    m_log.Clear();
    m_main->MainWindowProc(WM_CLOSE, 0, 0);
    EXPECT_EQ(gbServiceClosing.load(), 1);
    EXPECT_EQ(LogText().find("WM_CLOSE\r\n[Lumo DMB] DestoryWindow Call!\r\n"), 0u);
    EXPECT_FALSE(KillTimer(m_hwnd, ID_TIMER_START)) << "the start timer was stopped";
    EXPECT_TRUE(QuitRequested());
    m_log.Clear();
    EXPECT_EQ(m_main->MainWindowProc(WM_CLOSE, 0, 0), 0);
    EXPECT_TRUE(m_log.Lines().empty());
}

TEST_F(Protocol, SecondEndRequestOnlyWritesItsLine) {
    Open();
    m_main->MainWindowProc(WM_NAVAPP_REQUEST, kNavAppEnd, 0);
    EXPECT_NE(
        LogText().find(
            "\r\n ##### ROVANGO END !!! ##### \r\nROVAN_END\r\n[Lumo DMB] DestoryWindow Call!"),
        std::string::npos);
    m_log.Clear();
    m_decoders.ClearCalls();
    EXPECT_EQ(m_main->MainWindowProc(WM_NAVAPP_REQUEST, kNavAppEnd, 0), 0);
    EXPECT_EQ(m_log.Lines(), std::vector<std::u16string>{u"\r\n ##### ROVANGO END !!! ##### \r\n"});
    EXPECT_TRUE(m_decoders.Calls().empty());
}

TEST_F(Protocol, PlatformEndRequestNeedsLParamOne) {
    Open();
    m_main->MainWindowProc(WM_CLOSE, 30, 2);
    EXPECT_EQ(gbServiceClosing.load(), 0) << "only default processing";
    m_main->MainWindowProc(WM_CLOSE, 30, 1);
    EXPECT_EQ(gbServiceClosing.load(), 1);
    EXPECT_NE(LogText().find("ROVAN_END\r\n"), std::string::npos);
    EXPECT_TRUE(KillTimer(m_hwnd, ID_TIMER_START)) << "this end request leaves the start timer";
}

TEST_F(Protocol, StatusRequestRepeatsStateOneWhileTheDecodersRun) {
    WriteScanFile({testsupport::TpegService()});
    NavAppStandIn navApp;
    Open();
    m_main->MainWindowProc(WM_NAVAPP_REQUEST, kNavAppStatus, 0);
    EXPECT_EQ(StateMessages(navApp, 1), 0u) << "nothing while the decoders have not started";

    StartReception();
    Window camera;
    camera.Create(nullptr, u"Lumo_CAMManager_RV", 0, 0, 0, 0, 0);
    m_main->OnServiceTimer(ID_TIMER_CAMERA);
    ASSERT_EQ(gbReceptionOn.load(), 0);
    std::size_t before = StateMessages(navApp, 1);
    m_log.Clear();
    m_main->MainWindowProc(WM_NAVAPP_REQUEST, kNavAppStatus, 0);
    EXPECT_EQ(StateMessages(navApp, 1), before + 1) << "reception given up still counts as running";
    EXPECT_EQ(m_log.Lines()[0], u"\r\n [LUMO DMB TPEG] SetBSTpeg Running - skipped\r\n\r\n");
    EXPECT_EQ(m_main->mbReportSignal.load(), 1);
    EXPECT_EQ(gnSignalReport.load(), 0);
    DestroyWindow(camera.GetHwnd());
}

TEST_F(Protocol, VendorMessagesAreRegisteredOnceAndOnlyTheResetIsLogged) {
    Open();
    m_main->MainWindowProc(WM_USER + 5, 0, 0);
    UINT reset = TCC_TDMB_RESET_CHANNEL_MSG.load();
    ASSERT_NE(reset, 0u);
    EXPECT_EQ(reset, RegisterWindowMessage(u"TCC_TDMB_RESET_CHANNEL_MSG"));
    m_log.Clear();
    m_main->MainWindowProc(reset, 0, 0);
    m_main->MainWindowProc(TCC_TDMB_AUDIOCHANGE_MSG.load(), 1, 2);
    m_main->MainWindowProc(TCC_TDMB_RECONFIG_MSG.load(), 1, 2);
    EXPECT_EQ(m_log.Lines(),
              std::vector<std::u16string>{u"[TDMBPlayer] TCC_TDMB_RESET_CHANNEL_MSG\r\n"});
    EXPECT_EQ(gbServiceClosing.load(), 0);
    EXPECT_EQ(TCC_TDMB_RESET_CHANNEL_MSG.load(), reset);
}

TEST_F(Protocol, TpegEventsAreHandledThroughTheWindow) {
    NavAppStandIn navApp;
    Open();
    EXPECT_EQ(SendMessage(m_hwnd, WM_TPEG_EVENT, 6129, 3), 1);
    ASSERT_EQ(navApp.Messages().size(), 1u);
    EXPECT_EQ(navApp.Messages()[0].path, u"\\TPEGDATA\\TPRTM.BIN");
}

}  // namespace
