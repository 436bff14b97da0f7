#include <gtest/gtest.h>

#include "platform/bus_transport.h"
#include "platform/message_queue.h"
#include "platform/window.h"
#include "tests/support/message_thread.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

using namespace platform;
using testsupport::MessageThread;
using testsupport::RecordingWindow;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

class BusAbsent : public testing::Test {
  protected:
    TempDir m_dir;
    ScopedEnv m_address{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (m_dir / "no-bus-here")};
    ScopedEnv m_bus{"DMBTPEG_BUS", "session"};
};

TEST_F(BusAbsent, TheProcessRunsAndSeesItsOwnWindows) {
    EXPECT_FALSE(StartBusTransport());
    StopBusTransport();
    RecordingWindow window;
    MessageThread thread;
    thread.Run([&] { window.CreateTopLevel(u"Alone"); });
    EXPECT_EQ(FindWindow(nullptr, u"Alone"), window.GetHwnd());
    EXPECT_EQ(FindWindow(nullptr, u"Elsewhere"), nullptr);
}

TEST_F(BusAbsent, AProgramSaysSoOnceAndCarriesOn) {
    testsupport::ChildProcess peer("bus_peer", {"local"});
    ASSERT_EQ(peer.Wait(std::chrono::seconds(60)), 0) << peer.Errors();
    EXPECT_NE(peer.Output().find("alone found 42\n"), std::string::npos) << peer.Output();
    std::string errors = peer.Errors();
    EXPECT_NE(errors.find("no D-Bus session bus reachable"), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

}  // namespace
