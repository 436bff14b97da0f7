#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "platform/bus_names.h"
#include "platform/message_queue.h"
#include "platform/window.h"
#include "platform/window_transport.h"
#include "tests/support/bus_test.h"
#include "tests/support/message_thread.h"
#include "tests/support/time_scale.h"

using namespace platform;
using testsupport::MessageThread;
using testsupport::RecordingWindow;
using testsupport::WaitUntil;

namespace {

class BusWindowLookup : public testsupport::BusTest {
  protected:
    bool NameHasOwner(const std::u16string& title) {
        std::string output;
        Busctl({"call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "NameHasOwner", "s", BusNameForTitle(title)},
               &output);
        return output == "b true\n";
    }
};

TEST_F(BusWindowLookup, AWindowOfAnotherProcessIsFoundByItsExactTitleUntilItGoes) {
    auto peer = StartPeer("bus_peer", {"window", "Lumo_TDMBPlayer"});
    HWND remote = FindWindow(nullptr, u"Lumo_TDMBPlayer");
    ASSERT_TRUE(IsRemoteWindow(remote));
    EXPECT_TRUE(IsWindow(remote));
    WCHAR title[64];
    EXPECT_EQ(GetWindowText(remote, title, 64), 15);
    EXPECT_EQ(std::u16string(title), u"Lumo_TDMBPlayer");
    EXPECT_EQ(FindWindow(nullptr, u"Lumo_TDMBPlayer"), remote);
    EXPECT_EQ(FindWindow(u"peer", u"Lumo_TDMBPlayer"), remote);
    EXPECT_EQ(FindWindow(u"Other", u"Lumo_TDMBPlayer"), nullptr);
    EXPECT_EQ(FindWindow(nullptr, u"lumo_tdmbplayer"), nullptr);
    EXPECT_EQ(FindWindow(nullptr, u"Lumo_TDMBPlaye"), nullptr);

    peer->Signal(SIGKILL);
    peer->Wait(std::chrono::seconds(20));
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(remote); }));
    EXPECT_EQ(GetWindowText(remote, title, 64), 0);
    EXPECT_EQ(FindWindow(nullptr, u"Lumo_TDMBPlayer"), nullptr);
}

TEST_F(BusWindowLookup, WindowsSharingATitleQueueForItsName) {
    auto first = StartPeer("bus_peer", {"window", "Shared"});
    auto second = StartPeer("bus_peer", {"window", "Shared"});
    HWND found = FindWindow(nullptr, u"Shared");
    ASSERT_NE(found, nullptr);
    first->Signal(SIGKILL);
    first->Wait(std::chrono::seconds(20));
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(found); }));
    HWND next = FindWindow(nullptr, u"Shared");
    EXPECT_NE(next, nullptr);
    EXPECT_NE(next, found);
    EXPECT_TRUE(IsWindow(next));
}

// A stopped process answers no lookup; its window is still there and a send to
// it waits until the process runs again, so the window found before stands.
TEST_F(BusWindowLookup, AStoppedOwnersWindowIsTheOneFoundBefore) {
    // Returns once the child has really stopped, not merely been signalled.
    auto stop = [](testsupport::ChildProcess& child) {
        child.Signal(SIGSTOP);
        int status = 0;
        return ::waitpid(child.Pid(), &status, WUNTRACED) == child.Pid() && WIFSTOPPED(status);
    };
    auto peer = StartPeer("bus_peer", {"window", "Frozen"});
    HWND remote = FindWindow(nullptr, u"Frozen");
    ASSERT_TRUE(IsRemoteWindow(remote));
    testsupport::ScopedTimeScale fast(0.01);
    ASSERT_TRUE(stop(*peer));
    EXPECT_EQ(FindWindow(nullptr, u"Frozen"), remote);
    peer->Signal(SIGCONT);
    EXPECT_TRUE(IsWindow(remote));

    // Never found before, nothing to stand in.
    auto unseen = StartPeer("bus_peer", {"window", "Unseen"});
    ASSERT_TRUE(stop(*unseen));
    EXPECT_EQ(FindWindow(nullptr, u"Unseen"), nullptr);
    unseen->Signal(SIGCONT);
}

TEST_F(BusWindowLookup, RetitlingMovesTheNameAndDestroyingReleasesIt) {
    RecordingWindow window;
    MessageThread thread;
    thread.Run([&] { window.CreateTopLevel(u"Before"); });
    EXPECT_TRUE(NameHasOwner(u"Before"));
    SetWindowText(window.GetHwnd(), u"After");
    EXPECT_FALSE(NameHasOwner(u"Before"));
    EXPECT_TRUE(NameHasOwner(u"After"));
    thread.Run([&] { DestroyWindow(window.GetHwnd()); });
    EXPECT_FALSE(NameHasOwner(u"After"));
}

TEST_F(BusWindowLookup, ObjectsAreIntrospectableAndFoundThroughTheNamesOwner) {
    RecordingWindow window;
    MessageThread thread;
    thread.Run([&] { window.CreateTopLevel(u"DmbTpeg"); });
    std::string path = WindowObjectPath(window.GetHwnd());
    std::string output;
    ASSERT_EQ(Busctl({"call", "org.dmbtpeg.Title.DmbTpeg", "/org/dmbtpeg/windows",
                      "org.dmbtpeg.Windows1", "Find", "ss", "DmbTpeg", ""},
                     &output),
              0);
    EXPECT_EQ(output,
              "t " + std::to_string(reinterpret_cast<std::uintptr_t>(window.GetHwnd())) + "\n");
    ASSERT_EQ(Busctl({"introspect", "org.dmbtpeg.Title.DmbTpeg", path}, &output), 0);
    for (const char* member : {".Send", ".SendCopyData", ".Post", ".Title", ".ClassName"}) {
        EXPECT_NE(output.find(member), std::string::npos) << member;
    }
    ASSERT_EQ(Busctl({"tree", "org.dmbtpeg.Title.DmbTpeg"}, &output), 0);
    EXPECT_NE(output.find(path), std::string::npos) << output;
    ASSERT_EQ(
        Busctl({"get-property", "org.dmbtpeg.Title.DmbTpeg", path, "org.dmbtpeg.Window1", "Title"},
               &output),
        0);
    EXPECT_EQ(output, "s \"DmbTpeg\"\n");
}

}  // namespace
