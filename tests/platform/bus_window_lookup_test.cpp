#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>

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

constexpr UINT kEcho = WM_USER + 3;

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

// Lookups are answered by the bus daemon: a stopped process delays only the
// sends addressed to it.
TEST_F(BusWindowLookup, AStoppedOwnersWindowIsFoundAtOnceAndOnlySendsWaitForIt) {
    auto peer = StartPeer("bus_peer", {"window", "Frozen"});
    peer->Signal(SIGSTOP);
    int status = 0;
    ASSERT_EQ(::waitpid(peer->Pid(), &status, WUNTRACED), peer->Pid());
    ASSERT_TRUE(WIFSTOPPED(status));

    HWND remote = FindWindow(nullptr, u"Frozen");
    ASSERT_TRUE(IsRemoteWindow(remote));
    std::atomic<LRESULT> answer{-1};
    std::thread sender([&] { answer = SendMessage(remote, kEcho, 41, 0); });
    int found = 0;
    for (int i = 0; i < 100; ++i) {
        found += FindWindow(nullptr, u"Frozen") == remote ? 1 : 0;
    }
    EXPECT_EQ(found, 100);
    EXPECT_TRUE(IsWindow(remote));
    WCHAR title[16];
    EXPECT_EQ(GetWindowText(remote, title, 16), 6);
    EXPECT_EQ(answer.load(), -1) << "answered by a stopped process";
    peer->Signal(SIGCONT);
    sender.join();
    EXPECT_EQ(answer.load(), 42);

    peer->Signal(SIGSTOP);
    ASSERT_EQ(::waitpid(peer->Pid(), &status, WUNTRACED), peer->Pid());
    peer->Signal(SIGKILL);
    peer->Wait(std::chrono::seconds(20));
    EXPECT_TRUE(WaitUntil([&] { return FindWindow(nullptr, u"Frozen") == nullptr; }));
    EXPECT_FALSE(IsWindow(remote));
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

// Another program needs only the title's name owner and the title: the
// object answers for the front-most window with that title (and class).
TEST_F(BusWindowLookup, TitleObjectsDriveTheFrontWindowOfTheirTitleAndClass) {
    auto answering = [](LRESULT result) {
        return [result](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
            return message == kEcho ? std::optional<LRESULT>(result) : std::nullopt;
        };
    };
    RecordingWindow back(answering(1));
    RecordingWindow front(answering(2));
    MessageThread thread;
    thread.Run([&] {
        back.CreateTopLevel(u"Two Of Us");
        front.Create(u"Front", u"Two Of Us", WS_POPUP, 0, 0, 0, 0);
    });
    const std::string name = BusNameForTitle(u"Two Of Us");
    const std::string path = "/org/dmbtpeg/titles/Two_20Of_20Us";
    ASSERT_EQ(TitleObjectPath(u"Two Of Us"), path);
    auto send = [&](const std::string& object, std::string* output) {
        return Busctl({"call", name, object, "org.dmbtpeg.Window1", "Send", "utx",
                       std::to_string(kEcho), "0", "0"},
                      output);
    };
    std::string output;
    ASSERT_EQ(send(path, &output), 0);
    EXPECT_EQ(output, "x 2\n");
    ASSERT_EQ(send(path + "/Test", &output), 0);
    EXPECT_EQ(output, "x 1\n");
    EXPECT_NE(send(path + "/Other", &output), 0);
    EXPECT_NE(send("/org/dmbtpeg/titles/_54wo_20Of_20Us", &output), 0) << "one path a window";
    ASSERT_EQ(Busctl({"get-property", name, path, "org.dmbtpeg.Window1", "ClassName"}, &output), 0);
    EXPECT_EQ(output, "s \"Front\"\n");
    ASSERT_EQ(Busctl({"tree", name}, &output), 0);
    EXPECT_NE(output.find(path), std::string::npos) << output;

    thread.Run([&] { DestroyWindow(front.GetHwnd()); });
    ASSERT_EQ(send(path, &output), 0);
    EXPECT_EQ(output, "x 1\n");
}

}  // namespace
