#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/message_queue.h"
#include "platform/window.h"
#include "tests/support/fake_decoders.h"
#include "tests/support/log_capture.h"
#include "tests/support/nav_app.h"
#include "tpeg/tpeg_events.h"

using testsupport::CapturingLogSink;

using namespace platform;
using testsupport::FakeDecoders;
using testsupport::NavAppStandIn;

namespace {

class EventDelivery : public testing::Test {
  protected:
    std::vector<std::u16string> Log() const { return m_log.Lines(); }

    FakeDecoders m_decoders;
    CapturingLogSink m_log;
    ScopedLogSink m_guard{m_log};
};

struct Row {
    TpegEventCode code;
    const char16_t* receivedLine;
    const char16_t* path;
    ULONG_PTR kind;
};

TEST_F(EventDelivery, EveryFileEventAnnouncesItsPathAndKind) {
    const Row rows[] = {
        {6124, u"*** [EVT_CTT_TRANSFER] received.\r\n", u"\\TPEGDATA\\TPCTTL3.BIN", 0},
        {6125, u"*** [EVT_SDI_TRANSFER] received.\r\n", u"\\TPEGDATA\\TPSDI.BIN", 11},
        {6126, u"*** [EVT_POI_TRANSFER] received.\r\n", u"\\TPEGDATA\\TPPOI.BIN", 20},
        {6128, u"*** [EVT_NWS_TRANSFER] received.\r\n", u"\\TPEGDATA\\TPNWS.BIN", 24},
        {6129, u"*** [EVT_RTM_TRANSFER] received.\r\n", u"\\TPEGDATA\\TPRTM.BIN", 15},
        {6130, u"*** [EVT_CTTSUM_TRANSFER] received.\r\n", u"\\TPEGDATA\\TPCTTSUM.BIN", 1},
        {6131, nullptr, u"\\TPEGDATA\\TPCTTL3P.BIN", 2},
        {6133, u"*** [EVT_SDI2_TRANSFER] received.\r\n", u"\\TPEGDATA\\TPSDI2.BIN", 12},
        {6136, u"*** [EVT_POIOPS_TRANSFER] received.\r\n", u"\\TPEGDATA\\TPOIL.BIN", 22},
        {6138, u"*** [EVT_POIOPS2_TRANSFER] received.\r\n", u"\\TPEGDATA\\TPOIL2.BIN", 21},
    };
    NavAppStandIn navApp;
    for (const Row& row : rows) {
        m_log.Clear();
        m_decoders.ClearCalls();
        EXPECT_EQ(OnTpegEvent(row.code, 0x77), 1);

        auto received = navApp.Messages();
        ASSERT_FALSE(received.empty());
        const auto& m = received.back();
        EXPECT_EQ(m.message, WM_COPYDATA);
        EXPECT_EQ(m.wParam, 0u);
        EXPECT_EQ(m.kind, row.kind) << row.code;
        EXPECT_EQ(m.path, row.path);
        EXPECT_EQ(m.byteCount, 2 * std::u16string(row.path).size());

        std::vector<std::u16string> expected;
        if (row.receivedLine != nullptr) {
            expected.push_back(row.receivedLine);
        }
        expected.push_back(std::u16string(row.path) + u"\r\n");
        EXPECT_EQ(Log(), expected) << row.code;
        EXPECT_EQ(
            m_decoders.CallsOf("TTBEventComplete"),
            std::vector<std::string>{"TTBEventComplete(119," + std::to_string(row.code) + ")"});
    }
    EXPECT_EQ(navApp.Messages().size(), std::size(rows));
    EXPECT_EQ(navApp.Messages()[0].byteCount, 42u);
}

TEST_F(EventDelivery, CodesWithoutAFileAreOnlyAcknowledged) {
    NavAppStandIn navApp;
    for (TpegEventCode code : {6127u, 6132u, 6134u, 6135u, 6137u, 6123u, 6139u, 0u}) {
        EXPECT_EQ(OnTpegEvent(code, 5), 1);
    }
    EXPECT_TRUE(navApp.Messages().empty());
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(m_decoders.CallsOf("TTBEventComplete").size(), 8u);
    EXPECT_EQ(m_decoders.CallsOf("TTBEventComplete")[0], "TTBEventComplete(5,6127)");
}

TEST_F(EventDelivery, AbsentNavigationApplicationIsLoggedAndTheEventStillAcknowledged) {
    OnTpegEvent(6124, 9);
    OnTpegEvent(6127, 9);
    EXPECT_EQ(Log(), (std::vector<std::u16string>{u"*** [EVT_CTT_TRANSFER] received.\r\n",
                                                  u"Application not found [Rovan]\r\n",
                                                  u"Application not found [Rovan]\r\n"}));
    EXPECT_EQ(m_decoders.CallsOf("TTBEventComplete"),
              (std::vector<std::string>{"TTBEventComplete(9,6124)", "TTBEventComplete(9,6127)"}));
}

TEST_F(EventDelivery, MissingDataFolderDeliversNothing) {
    NavAppStandIn navApp;
    m_decoders.SetDataPath(nullptr);
    OnTpegEvent(6125, 1);
    m_decoders.SetDataPath(u"");
    OnTpegEvent(6125, 2);
    EXPECT_TRUE(navApp.Messages().empty());
    EXPECT_EQ(Log(), (std::vector<std::u16string>{u"*** [EVT_SDI_TRANSFER] received.\r\n",
                                                  u"*** [EVT_SDI_TRANSFER] received.\r\n"}));
    EXPECT_EQ(m_decoders.CallsOf("TTBEventComplete").size(), 2u);
}

TEST_F(EventDelivery, PathThatDoesNotFitIsRefusedNotTruncated) {
    NavAppStandIn navApp;
    std::u16string folder(
        248, u'F');  // 248 + 1 + 11 ("TPCTTL3.BIN") = 260 units: no room for the terminator
    m_decoders.SetDataPath(folder.c_str());
    OnTpegEvent(6124, 3);
    EXPECT_TRUE(navApp.Messages().empty());
    ASSERT_EQ(Log().size(), 2u);
    EXPECT_NE(Log()[1].find(u"too long"), std::u16string::npos);
    EXPECT_EQ(m_decoders.CallsOf("TTBEventComplete").size(), 1u);

    folder.pop_back();  // 259 units and the terminator: fits
    m_decoders.SetDataPath(folder.c_str());
    OnTpegEvent(6124, 4);
    ASSERT_EQ(navApp.Messages().size(), 1u);
    EXPECT_EQ(navApp.Messages()[0].path, folder + u"\\TPCTTL3.BIN");
    EXPECT_LE(Log().back().size(), 127u) << "log lines are cut to their buffer";
}

class MainWindow : public Window {
  public:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_TPEG_EVENT) {
            return OnTpegEvent(wParam, lParam);
        }
        return Window::WindowProc(message, wParam, lParam);
    }
};

TEST_F(EventDelivery, DecoderThreadWaitsUntilItsEventIsAnnouncedAndAcknowledged) {
    NavAppStandIn navApp;
    MainWindow main;
    HWND hwnd = main.Create(nullptr, u"DmbTpeg", 0, 0, 0, 0, 0);
    ASSERT_NE(hwnd, nullptr);

    std::atomic<bool> returned{false};
    std::atomic<std::intptr_t> result{0};
    std::thread decoder([&] {
        result = OnDecoderEvent(reinterpret_cast<std::uintptr_t>(hwnd), 6129, 0x1234);
        // The acknowledgement reached the library before its callback returned.
        EXPECT_EQ(m_decoders.CallsOf("TTBEventComplete").size(), 1u);
        returned = true;
    });
    // The main thread is busy: nothing is delivered until it pumps.
    Sleep(50);
    EXPECT_FALSE(returned);
    EXPECT_TRUE(navApp.Messages().empty());

    MSG msg;
    while (!returned) {
        PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);
        Sleep(1);
    }
    decoder.join();
    EXPECT_EQ(result, 1);
    ASSERT_EQ(navApp.Messages().size(), 1u);
    EXPECT_EQ(navApp.Messages()[0].path, u"\\TPEGDATA\\TPRTM.BIN");
    EXPECT_EQ(m_decoders.CallsOf("TTBEventComplete")[0], "TTBEventComplete(4660,6129)");
    DestroyWindow(hwnd);
}

TEST_F(EventDelivery, NotifyNavAppSendsTheStateOrLogsItsAbsence) {
    const UINT message = RegisterWindowMessage(u"WM_DMBANTLV");
    NotifyNavApp(message, 0);
    EXPECT_EQ(Log(),
              std::vector<std::u16string>{u"DMANTLV error - application not found [Rovan]\r\n"});

    NavAppStandIn navApp;
    NotifyNavApp(message, 0);
    NotifyNavApp(message, 1);
    auto received = navApp.Messages();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].message, message);
    EXPECT_EQ(received[0].wParam, 0u);
    EXPECT_EQ(received[0].lParam, 0);
    EXPECT_EQ(received[1].wParam, 1u);
}

}  // namespace
