#include <gtest/gtest.h>

#include <algorithm>

#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/window.h"
#include "tests/support/message_thread.h"
#include "tests/support/time_scale.h"

using namespace platform;
using testsupport::MessageThread;
using testsupport::RecordingWindow;
using testsupport::WaitUntil;

namespace {

constexpr UINT kHello = WM_USER + 5;

TEST(FindWindowByTitle, MatchesTheExactTitleOfTopLevelWindowsOnly) {
    RecordingWindow navi;
    RecordingWindow longer;
    RecordingWindow lower;
    RecordingWindow parent;
    RecordingWindow child;
    MessageThread thread;
    thread.Run([&] {
        navi.CreateTopLevel(u"Rovan");
        longer.CreateTopLevel(u"Rovan2");
        lower.CreateTopLevel(u"rovan");
        parent.CreateTopLevel(u"parent");
        child.Create(u"Test", u"Hidden child", WS_CHILD, 0, 0, 1, 1, parent.GetHwnd());
    });
    EXPECT_EQ(FindWindow(nullptr, u"Rovan"), navi.GetHwnd());
    EXPECT_EQ(FindWindow(u"TEST", u"Rovan"), navi.GetHwnd()) << "class names ignore case";
    EXPECT_EQ(FindWindow(u"Other", u"Rovan"), nullptr);
    EXPECT_EQ(FindWindow(nullptr, u"Rova"), nullptr);
    EXPECT_EQ(FindWindow(nullptr, u"Hidden child"), nullptr);
    EXPECT_TRUE(SetWindowText(longer.GetHwnd(), u"Renamed"));
    EXPECT_EQ(FindWindow(nullptr, u"Renamed"), longer.GetHwnd());
    EXPECT_EQ(FindWindow(nullptr, u"Rovan2"), nullptr);
    HWND gone = navi.GetHwnd();
    thread.Run([&] { DestroyWindow(gone); });
    EXPECT_EQ(FindWindow(nullptr, u"Rovan"), nullptr);
}

TEST(Broadcast, PostReachesEveryTopLevelWindowOnce) {
    RecordingWindow a;
    RecordingWindow b;
    RecordingWindow c;
    RecordingWindow child;
    MessageThread one;
    MessageThread two;
    one.Run([&] {
        a.CreateTopLevel(u"a");
        b.CreateTopLevel(nullptr);
        child.Create(u"Test", u"child", WS_CHILD, 0, 0, 1, 1, a.GetHwnd());
    });
    two.Run([&] { c.CreateTopLevel(u"c"); });
    ASSERT_TRUE(PostMessage(HWND_BROADCAST, kHello, 1, 2));
    auto gotHello = [](const RecordingWindow& w) {
        auto m = w.UserMessages();
        return std::count(m.begin(), m.end(), kHello) == 1;
    };
    EXPECT_TRUE(WaitUntil([&] { return gotHello(a) && gotHello(b) && gotHello(c); }));
    // Posted after the broadcast to the same thread, so handled after it.
    PostMessage(child.GetHwnd(), kHello + 1, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return !child.UserMessages().empty(); }));
    EXPECT_EQ(child.UserMessages(), std::vector<UINT>{kHello + 1});
}

TEST(WindowPlacement, StoresPositionSizeZOrderAndVisibility) {
    RecordingWindow front;
    RecordingWindow service;
    MessageThread thread;
    thread.Run([&] {
        service.Create(u"Test", u"svc", WS_POPUP | WS_VISIBLE, 10, 20, 46, 60);
        front.CreateTopLevel(u"front");
    });
    HWND hwnd = service.GetHwnd();
    EXPECT_TRUE(SetWindowPos(hwnd, HWND_BOTTOM, 0, 0, 0, 0,
                             SWP_NOMOVE | SWP_NOSIZE | SWP_HIDEWINDOW | SWP_NOACTIVATE));
    EXPECT_FALSE(IsWindowVisible(hwnd));
    EXPECT_EQ(GetWindow(hwnd, GW_HWNDLAST), hwnd);
    RECT rect;
    ASSERT_TRUE(GetWindowRect(hwnd, &rect));
    EXPECT_EQ(rect.left, 10);
    EXPECT_EQ(rect.bottom, 80);
    EXPECT_TRUE(SetWindowPos(hwnd, nullptr, 5, 6, 7, 8, SWP_NOZORDER | SWP_SHOWWINDOW));
    ASSERT_TRUE(GetWindowRect(hwnd, &rect));
    EXPECT_EQ(rect.left, 5);
    EXPECT_EQ(rect.right, 12);
    EXPECT_EQ(rect.bottom, 14);
    EXPECT_EQ(GetWindow(hwnd, GW_HWNDLAST), hwnd) << "SWP_NOZORDER keeps the place";
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_TRUE(ShowWindow(hwnd, SW_HIDE)) << "reports that it was visible";
    EXPECT_FALSE(ShowWindow(hwnd, SW_SHOW));
    EXPECT_TRUE(SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
    EXPECT_EQ(GetWindow(hwnd, GW_HWNDFIRST), hwnd);
    EXPECT_EQ(GetWindow(hwnd, GW_HWNDPREV), nullptr);
    EXPECT_TRUE(SetWindowPos(hwnd, front.GetHwnd(), 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE));
    EXPECT_EQ(GetWindow(front.GetHwnd(), GW_HWNDNEXT), hwnd);
    EXPECT_FALSE(SetWindowPos(hwnd, reinterpret_cast<HWND>(0x9998), 0, 0, 0, 0, 0));
}

TEST(RegisteredMessages, OneNumberPerNameInTheRegisteredRange) {
    UINT first = RegisterWindowMessage(u"DMBTPEG_STATE");
    EXPECT_GE(first, kFirstRegisteredMessage);
    EXPECT_LE(first, kLastRegisteredMessage);
    EXPECT_EQ(RegisterWindowMessage(u"dmbtpeg_state"), first);
    UINT other = RegisterWindowMessage(u"DMBTPEG_FILE");
    EXPECT_NE(other, first);
    EXPECT_EQ(RegisterWindowMessage(u"DMBTPEG_FILE"), other);
    EXPECT_EQ(RegisterWindowMessage(u""), 0u);
    EXPECT_EQ(RegisterWindowMessage(std::u16string(256, u'x').c_str()), 0u);
}

}  // namespace
