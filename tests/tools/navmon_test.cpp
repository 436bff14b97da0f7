#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "platform/window.h"
#include "tests/support/bus_test.h"
#include "tests/support/message_thread.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

using namespace platform;
using testsupport::ChildProcess;
using testsupport::MessageThread;
using testsupport::RecordingWindow;
using testsupport::WaitUntil;

namespace {

constexpr std::chrono::seconds kPatience{20};

std::vector<BYTE> Utf16Bytes(std::u16string_view text) {
    std::vector<BYTE> bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    return bytes;
}

class Navmon : public testsupport::BusTest {
  protected:
    std::unique_ptr<ChildProcess> StartNavmon(const std::vector<std::string>& args) {
        auto navmon = std::make_unique<ChildProcess>("dmbtpeg-navmon", args);
        EXPECT_TRUE(WaitUntil([&] {
            return (m_navmon = FindWindow(nullptr, u"Rovan")) != nullptr;
        })) << navmon->Errors();
        return navmon;
    }

    LRESULT AnnounceFile(ULONG_PTR kind, std::u16string_view path) {
        auto bytes = Utf16Bytes(path);
        COPYDATASTRUCT record{kind, static_cast<DWORD>(bytes.size()), bytes.data()};
        return SendMessage(m_navmon, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record));
    }

    testsupport::TempDir m_root;
    testsupport::ScopedEnv m_rootEnv{"DMBTPEG_ROOT", m_root.Path()};
    HWND m_navmon = nullptr;
};

TEST_F(Navmon, JsonLinesForFilesStatesAndOtherMessages) {
    ASSERT_EQ(std::system(("mkdir -p '" + (m_root / "TPEGDATA") + "'").c_str()), 0);
    std::ofstream(m_root / "TPEGDATA/TPCTTL3.BIN") << std::string(1234, 'x');
    auto navmon = StartNavmon({"--json"});

    EXPECT_EQ(AnnounceFile(0, u"\\TPEGDATA\\TPCTTL3.BIN"), 1);
    EXPECT_EQ(AnnounceFile(3, u"\\TPEGDATA\\MISSING.BIN"), 1);
    SendMessage(m_navmon, RegisterWindowMessage(u"WM_DMBANTLV"), 1, 0);
    SendMessage(m_navmon, WM_USER + 5, 7, 8);
    navmon->Signal(SIGTERM);
    EXPECT_EQ(navmon->Wait(kPatience), 0);
    EXPECT_EQ(navmon->Output(),
              "{\"event\":\"file\",\"kind\":0,\"path\":\"\\\\TPEGDATA\\\\TPCTTL3.BIN\","
              "\"bytes\":42,\"size\":1234}\n"
              "{\"event\":\"file\",\"kind\":3,\"path\":\"\\\\TPEGDATA\\\\MISSING.BIN\","
              "\"bytes\":42,\"size\":null}\n"
              "{\"event\":\"state\",\"state\":1}\n"
              "{\"event\":\"message\",\"msg\":1029,\"wparam\":7,\"lparam\":8}\n");
}

TEST_F(Navmon, CountEndsTheMonitorAfterThatManyFiles) {
    auto navmon = StartNavmon({"--count", "2", "--title", "Rovan"});
    AnnounceFile(0, u"\\TPEGDATA\\A.BIN");
    SendMessage(m_navmon, RegisterWindowMessage(u"WM_DMBANTLV"), 0, 0);
    EXPECT_FALSE(navmon->Wait(std::chrono::milliseconds(0)).has_value());
    AnnounceFile(0, u"\\TPEGDATA\\B.BIN");
    EXPECT_EQ(navmon->Wait(kPatience), 0);
    EXPECT_EQ(navmon->Output(),
              "file kind=0 path=\\TPEGDATA\\A.BIN bytes=30 size=-\n"
              "state 0\n"
              "file kind=0 path=\\TPEGDATA\\B.BIN bytes=30 size=-\n");
}

TEST_F(Navmon, TimeoutExitsWithThreeWhenNoFileCame) {
    ChildProcess navmon("dmbtpeg-navmon", {"--count", "1", "--timeout", "0.2"});
    EXPECT_EQ(navmon.Wait(kPatience), 3);
}

TEST_F(Navmon, RequestsReachTheServiceWindowSynchronously) {
    std::mutex mutex;
    std::vector<std::pair<UINT, WPARAM>> received;
    UINT scan = RegisterWindowMessage(u"DMBTPEG_CHANNEL_SCAN");
    RecordingWindow service([&](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        if (message == 8590 || message == scan) {
            std::lock_guard lock(mutex);
            received.emplace_back(message, wParam);
            return 77;
        }
        return std::nullopt;
    });
    MessageThread thread;
    thread.Run([&] { service.CreateTopLevel(u"DmbTpeg"); });

    for (const char* request : {"status", "end", "scan"}) {
        ChildProcess navmon("dmbtpeg-navmon", {"--request", request});
        EXPECT_EQ(navmon.Wait(kPatience), 0) << navmon.Errors();
        EXPECT_EQ(navmon.Output(), std::string(request) + " -> 77\n");
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(received, (std::vector<std::pair<UINT, WPARAM>>{{8590, 11}, {8590, 10}, {scan, 1}}));
}

TEST_F(Navmon, ARequestWithoutAServiceWindowFails) {
    ChildProcess navmon("dmbtpeg-navmon", {"--request", "status", "--json"});
    EXPECT_EQ(navmon.Wait(kPatience), 1);
    EXPECT_NE(navmon.Errors().find("no window titled \"DmbTpeg\""), std::string::npos)
        << navmon.Errors();
    EXPECT_EQ(navmon.Output(), "");
}

}  // namespace
