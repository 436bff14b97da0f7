#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "tests/support/message_thread.h"
#include "tests/support/time_scale.h"

using namespace platform;
using testsupport::MessageThread;
using testsupport::RecordingWindow;
using testsupport::ScopedTimeScale;
using testsupport::WaitUntil;

namespace {

void OnFreshThread(const std::function<void()>& body) {
    std::thread(body).join();
}

int CountTimerMessages() {
    int count = 0;
    MSG msg;
    while (PeekMessage(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) {
        ++count;
    }
    return count;
}

TEST(WindowTimer, ManyMissedPeriodsGiveOneMessage) {
    ScopedTimeScale scale(0.05);
    OnFreshThread([] {
        RecordingWindow window;
        HWND hwnd = window.CreateTopLevel(u"timer");
        ASSERT_EQ(SetTimer(hwnd, 4, 1000, nullptr), 4u);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(CountTimerMessages(), 1);
        MSG msg;
        ASSERT_GT(GetMessage(&msg, nullptr, 0, 0), 0) << "the timer goes on after the stall";
        EXPECT_EQ(msg.message, WM_TIMER);
        EXPECT_EQ(msg.wParam, 4u);
    });
}

TEST(WindowTimer, SetFromAnotherThreadFiresOnTheWindowsThread) {
    ScopedTimeScale scale(0.001);
    std::atomic<DWORD> firedOn{0};
    std::atomic<WPARAM> firedId{0};
    RecordingWindow window([&](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        if (message == WM_TIMER) {
            firedId = wParam;
            firedOn = GetCurrentThreadId();
        }
        return std::nullopt;
    });
    MessageThread thread;
    HWND hwnd = nullptr;
    thread.Run([&] { hwnd = window.CreateTopLevel(u"timer"); });
    // The window's thread is already asleep in GetMessage with no timer.
    ASSERT_NE(SetTimer(hwnd, 9, 500, nullptr), 0u);
    ASSERT_TRUE(WaitUntil([&] { return firedOn != 0; }));
    EXPECT_EQ(firedOn, thread.ThreadId());
    EXPECT_EQ(firedId, 9u);
    EXPECT_TRUE(KillTimer(hwnd, 9));
}

TEST(WindowTimer, KilledDueTimerSendsNothing) {
    ScopedTimeScale scale(0.001);
    OnFreshThread([] {
        RecordingWindow window;
        HWND hwnd = window.CreateTopLevel(u"timer");
        SetTimer(hwnd, 1, 10, nullptr);
        ASSERT_TRUE(WaitUntil([] { return (GetQueueStatus(QS_TIMER) & QS_TIMER) != 0; }));
        EXPECT_TRUE(KillTimer(hwnd, 1));
        EXPECT_EQ(CountTimerMessages(), 0);
        EXPECT_FALSE(KillTimer(hwnd, 1));
    });
}

TEST(WindowTimer, SettingAnExistingIdRestartsIt) {
    OnFreshThread([] {
        RecordingWindow window;
        HWND hwnd = window.CreateTopLevel(u"timer");
        {
            ScopedTimeScale fast(0.001);
            SetTimer(hwnd, 1, 10, nullptr);
        }
        ASSERT_TRUE(WaitUntil([] { return (GetQueueStatus(QS_TIMER) & QS_TIMER) != 0; }));
        SetTimer(hwnd, 1, 100000, nullptr);
        EXPECT_EQ(CountTimerMessages(), 0) << "a due timer set again waits a new period";
        {
            ScopedTimeScale fast(0.001);
            SetTimer(hwnd, 1, 10, nullptr);
            SetTimer(hwnd, 1, 10, nullptr);
        }
        ASSERT_TRUE(WaitUntil([] { return (GetQueueStatus(QS_TIMER) & QS_TIMER) != 0; }));
        MSG msg;
        ASSERT_TRUE(PeekMessage(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));
        SetTimer(hwnd, 1, 100000, nullptr);
        EXPECT_EQ(CountTimerMessages(), 0) << "setting an id twice makes one timer, not two";
        KillTimer(hwnd, 1);
    });
}

TEST(WindowTimer, PeriodFollowsTheTimeScale) {
    ScopedTimeScale scale(0.001);
    OnFreshThread([] {
        RecordingWindow window;
        HWND hwnd = window.CreateTopLevel(u"timer");
        auto start = Clock::now();
        SetTimer(hwnd, 1, 7000, nullptr);
        MSG msg;
        ASSERT_GT(GetMessage(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, WM_TIMER);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3500));
        KillTimer(hwnd, 1);
    });
}

TEST(WindowTimer, DestroyedWindowsLoseTheirTimersAndUnknownWindowsAreRefused) {
    ScopedTimeScale scale(0.001);
    OnFreshThread([] {
        RecordingWindow window;
        HWND hwnd = window.CreateTopLevel(u"timer");
        SetTimer(hwnd, 1, 10, nullptr);
        ASSERT_TRUE(WaitUntil([] { return (GetQueueStatus(QS_TIMER) & QS_TIMER) != 0; }));
        DestroyWindow(hwnd);
        EXPECT_EQ(CountTimerMessages(), 0);
        EXPECT_EQ(SetTimer(hwnd, 1, 10, nullptr), 0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    });
}

}  // namespace
