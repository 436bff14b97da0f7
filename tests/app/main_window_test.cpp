#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "tests/app/service_fixture.h"

using namespace platform;
using testsupport::NavAppStandIn;

namespace {

constexpr std::u16string_view kPriorityKey = u"SOFTWARE\\Microsoft\\DirectShow\\ThreadPriority";

class MainWindow : public testsupport::ServiceTest {};

TEST_F(MainWindow, InitialisationPlacesTheWindowOutOfSightAndArmsOnlyTheStartTimer) {
    WriteScanFile({testsupport::TpegService()});
    TDmbMain& main = Open();

    WCHAR title[32] = {};
    GetWindowText(m_hwnd, title, 32);
    EXPECT_EQ(std::u16string(title), u"DmbTpeg");
    RECT rect{};
    GetWindowRect(m_hwnd, &rect);
    EXPECT_EQ(rect.left, 800);
    EXPECT_EQ(rect.top, 0);
    EXPECT_EQ(rect.right - rect.left, 0);
    EXPECT_EQ(rect.bottom - rect.top, 0);
    EXPECT_FALSE(IsWindowVisible(m_hwnd));
    EXPECT_EQ(GetWindow(m_hwnd, GW_HWNDLAST), m_hwnd) << "at the bottom of the window order";

    EXPECT_EQ(main.mChannel.Size(), 1u);
    EXPECT_EQ(main.mChannelState.load(), kChannelInvalid);
    EXPECT_EQ(main.mnGraphMode, kGraphModeData);
    EXPECT_EQ(RegGetDword(HKEY_LOCAL_MACHINE, kPriorityKey, u"Video"), 247u);
    EXPECT_TRUE(std::filesystem::exists(m_root / "TPEGDMBINFO.ENV"));
    EXPECT_NE(LogText().find("[Vesk DMB] File Create TPEGDMBINFO.ENV ! \r\n"), std::string::npos);

    // Nothing but the start timer runs, and no graph, thread or event exists.
    EXPECT_EQ(main.mhThread.load(), nullptr);
    EXPECT_EQ(main.mhQuitEvent, nullptr);
    EXPECT_EQ(m_device.TunerInstances(), 0);
    EXPECT_FALSE(KillTimer(m_hwnd, ID_TIMER_CAMERA));
    EXPECT_TRUE(KillTimer(m_hwnd, ID_TIMER_START));
}

TEST_F(MainWindow, ExistingMarkerFileIsKeptAsItIs) {
    { std::ofstream(m_root / "TPEGDMBINFO.ENV") << "kept"; }
    Open();
    std::ifstream in(m_root / "TPEGDMBINFO.ENV");
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str(), "kept");
}

TEST_F(MainWindow, ShutdownBeforeTheStartStepReleasesEmptyHandlesWithoutHarm) {
    NavAppStandIn navApp;
    Open();
    m_log.Clear();
    gbServiceClosing = 1;
    EXPECT_EQ(m_main->ShutdownService(), 1);
    std::string log = LogText();
    EXPECT_EQ(log.find("[Lumo DMB] DestoryWindow Call!\r\n"), 0u);
    EXPECT_EQ(log.find("mhThread!"), std::string::npos);
    EXPECT_TRUE(m_decoders.CallsOf("StopTpegDecoder").empty());
    EXPECT_EQ(m_decoders.Calls(), (std::vector<std::string>{"UninitTpegLibrary", "UninitTDC"}));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\DirectShow", 0,
                           KEY_ALL_ACCESS, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(WaitUntil([&] { return SuspendAcks(navApp) == 1; }));
}

TEST_F(MainWindow, ShutdownOfARunningServiceStopsDecodersGraphAndWorkerInOrder) {
    WriteScanFile({testsupport::TpegService()});
    NavAppStandIn navApp;
    Open();
    StartReception();
    m_decoders.ClearCalls();
    m_log.Clear();
    gbServiceClosing = 1;
    m_main->ShutdownService();
    EXPECT_EQ(m_decoders.Calls(), (std::vector<std::string>{"StopTpegDecoder", "StopTDCDecode",
                                                            "UninitTpegLibrary", "UninitTDC"}));
    std::string log = LogText();
    EXPECT_LT(log.find("Stop TDC Decoder"), log.find("[Lumo DMB] mhThread! \r\n"));
    EXPECT_EQ(m_main->mhThread.load(), nullptr);
    EXPECT_EQ(m_main->mhQuitEvent, nullptr);
    EXPECT_EQ(m_device.TunerInstances(), 0);
    EXPECT_EQ(m_device.DataFilterInstances(), 0);
    EXPECT_EQ(m_main->mbDecoderRunning.load(), 1) << "the flag stays until the next initialisation";
}

}  // namespace
