#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include <fmt/format.h>

#include "platform/message_queue.h"
#include "platform/window.h"
#include "tests/support/bus_test.h"
#include "tests/support/time_scale.h"

using namespace platform;
using testsupport::ChildProcess;
using testsupport::WaitUntil;

namespace {

constexpr std::chrono::seconds kPatience{20};

using WindowTool = testsupport::BusTest;

TEST_F(WindowTool, PrintsBroadcastsByNameAndSendsUntilStopped) {
    ChildProcess json("dmbtpeg-window", {"Lumo_CAMManager_RV", "--json"});
    // A title that looks like an option follows "--".
    ChildProcess text("dmbtpeg-window", {"--", "-h"});
    HWND rv = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (rv = FindWindow(nullptr, u"Lumo_CAMManager_RV")); }));
    ASSERT_TRUE(WaitUntil([&] { return FindWindow(nullptr, u"-h") != nullptr; }));

    UINT ack = RegisterWindowMessage(u"TC_SUSPEND_ACK");
    EXPECT_TRUE(PostMessage(HWND_BROADCAST, ack, 0, 0));
    EXPECT_TRUE(json.WaitForOutput(
        fmt::format("{{\"event\":\"message\",\"msg\":{},\"name\":\"TC_SUSPEND_ACK\",\"wparam\":0,"
                    "\"lparam\":0}}\n",
                    ack),
        kPatience))
        << json.Output();
    EXPECT_EQ(SendMessage(rv, WM_USER + 7, 3, -4), 0);
    EXPECT_TRUE(json.WaitForOutput(
        "{\"event\":\"message\",\"msg\":1031,\"name\":null,\"wparam\":3,\"lparam\":-4}\n",
        kPatience))
        << json.Output();
    EXPECT_TRUE(text.WaitForOutput(
        fmt::format("message 0x{:04X} TC_SUSPEND_ACK wparam=0 lparam=0\n", ack), kPatience))
        << text.Output();

    json.Signal(SIGINT);
    text.Signal(SIGTERM);
    EXPECT_EQ(json.Wait(kPatience), 0);
    EXPECT_EQ(text.Wait(kPatience), 0);
    EXPECT_TRUE(WaitUntil([&] { return FindWindow(nullptr, u"Lumo_CAMManager_RV") == nullptr; }));
}

}  // namespace
