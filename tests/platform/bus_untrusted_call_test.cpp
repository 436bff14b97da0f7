#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/bus_names.h"
#include "platform/log.h"
#include "platform/window.h"
#include "tests/support/bus_test.h"
#include "tests/support/message_thread.h"

using namespace platform;
using testsupport::MessageThread;
using testsupport::RecordingWindow;

namespace {

constexpr UINT kEcho = WM_USER + 3;
constexpr char kTarget[] = "org.dmbtpeg.Title.Target";

// Another program, as careless or hostile as it likes, calls our window with
// busctl; every bad call gets an error reply and a log line, and the window
// keeps answering good calls.
class BusUntrustedCalls : public testsupport::BusTest {
  protected:
    void SetUp() override {
        BusTest::SetUp();
        m_thread.Run([&] { m_window.CreateTopLevel(u"Target"); });
        m_path = WindowObjectPath(m_window.GetHwnd());
    }
    void TearDown() override {
        m_thread.Stop();
        BusTest::TearDown();
    }

    void ExpectRefused(const std::vector<std::string>& args, const std::string& reason) {
        m_log.Clear();
        std::string errors;
        std::vector<std::string> call{"call", kTarget};
        call.insert(call.end(), args.begin(), args.end());
        EXPECT_NE(Busctl(call, nullptr, &errors), 0);
        EXPECT_NE(errors.find(reason), std::string::npos) << errors;
        EXPECT_NE(m_log.Text().find("refused"), std::string::npos) << m_log.Text();
        std::string output;
        EXPECT_EQ(Busctl({"call", kTarget, m_path, kWindowInterface, "Send", "utx",
                          std::to_string(kEcho), "41", "0"},
                         &output),
                  0);
        EXPECT_EQ(output, "x 42\n") << "the window stopped answering";
    }

    RecordingWindow m_window{[](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        return message == kEcho ? std::optional<LRESULT>(wParam + 1) : std::nullopt;
    }};
    MessageThread m_thread;
    std::string m_path;
    CapturingLogSink m_log;
    ScopedLogSink m_capture{m_log};
};

TEST_F(BusUntrustedCalls, WrongSignaturesAreRefused) {
    ExpectRefused({m_path, kWindowInterface, "Send", "s", "hello"},
                  "arguments 's' where 'utx' are expected");
    ExpectRefused({m_path, kWindowInterface, "SendCopyData", "tt", "1", "2"},
                  "arguments 'tt' where 'ttuay' are expected");
    ExpectRefused({"/org/dmbtpeg/windows", kWindowsInterface, "Find", "s", "Target"},
                  "arguments 's' where 'ss' are expected");
}

TEST_F(BusUntrustedCalls, UnknownPathsAndMethodsAreRefused) {
    ExpectRefused({"/org/dmbtpeg/windows/w1", kWindowInterface, "Send", "utx", "1027", "0", "0"},
                  "no such window");
    ExpectRefused({"/org/dmbtpeg/windows/wnope", kWindowInterface, "Send", "utx", "1027", "0", "0"},
                  "unknown object path");
    ExpectRefused({"/elsewhere", kWindowInterface, "Send", "utx", "1027", "0", "0"},
                  "unknown object path");
    ExpectRefused({m_path, kWindowInterface, "Destroy"}, "unknown method");
    ExpectRefused({m_path, "org.example.Other", "Send", "utx", "1027", "0", "0"},
                  "unknown interface");
}

TEST_F(BusUntrustedCalls, LyingLengthsAndOversizedPayloadsAreRefused) {
    ExpectRefused(
        {m_path, kWindowInterface, "SendCopyData", "ttuay", "0", "1", "10", "3", "1", "2", "3"},
        "byte count 10 but 3 bytes sent");
    std::vector<std::string> oversized{m_path, kWindowInterface, "SendCopyData", "ttuay", "0",
                                       "1",    "65537",          "65537"};
    oversized.insert(oversized.end(), 65537, "7");
    ExpectRefused(oversized, "65537 bytes of copy data");
    auto messages = m_window.Messages();
    EXPECT_EQ(std::find(messages.begin(), messages.end(), WM_COPYDATA), messages.end());
}

TEST_F(BusUntrustedCalls, MessagesCarryingPointersAreRefused) {
    ExpectRefused({m_path, kWindowInterface, "Send", "utx", "12", "0", "4096"}, "carries pointers");
    ExpectRefused({m_path, kWindowInterface, "Post", "utx", "275", "1", "4096"},
                  "carries pointers");
    ExpectRefused({m_path, kWindowInterface, "Send", "utx", "74", "0", "0"}, "SendCopyData");
}

}  // namespace
