#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "tests/support/message_thread.h"
#include "tests/support/time_scale.h"

using namespace platform;
using testsupport::RecordingWindow;
using testsupport::WaitUntil;

namespace {

constexpr UINT kFirst = WM_USER + 1;
constexpr UINT kSecond = WM_USER + 2;
constexpr UINT kSent = WM_USER + 9;

// Each test gets a thread of its own, so no queue state leaks between tests.
void OnFreshThread(const std::function<void()>& body) {
    std::thread(body).join();
}

TEST(MessageRetrieval, SentThenPostedInOrderThenQuitThenTimers) {
    testsupport::ScopedTimeScale scale(0.001);
    OnFreshThread([] {
        RecordingWindow window;
        HWND hwnd = window.CreateTopLevel(u"order");
        SetTimer(hwnd, 1, 10, nullptr);
        PostMessage(hwnd, kFirst, 0, 0);
        PostQuitMessage(7);
        PostMessage(hwnd, kSecond, 0, 0);
        std::atomic<LRESULT> sendResult{-1};
        std::thread sender([&] { sendResult = SendMessage(hwnd, kSent, 0, 0); });
        ASSERT_TRUE(WaitUntil([] {
            return GetQueueStatus(QS_SENDMESSAGE | QS_TIMER) ==
                   ((QS_SENDMESSAGE | QS_TIMER) * 0x10001);
        }));

        MSG msg;
        ASSERT_GT(GetMessage(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, kFirst);
        EXPECT_EQ(window.UserMessages(), std::vector<UINT>{kSent});
        sender.join();
        EXPECT_EQ(sendResult, 0);

        ASSERT_GT(GetMessage(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, kSecond) << "a message posted after the quit request comes first";
        EXPECT_EQ(GetMessage(&msg, nullptr, 0, 0), FALSE);
        EXPECT_EQ(msg.message, WM_QUIT);
        EXPECT_EQ(msg.wParam, 7u);
        ASSERT_GT(GetMessage(&msg, nullptr, 0, 0), 0);
        EXPECT_EQ(msg.message, WM_TIMER);
        EXPECT_EQ(msg.hwnd, hwnd);
        EXPECT_EQ(msg.wParam, 1u);
        KillTimer(hwnd, 1);
        EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) << "WM_QUIT comes only once";
    });
}

TEST(MessageRetrieval, PeekWithoutRemovingLeavesTheMessageAndTheQuitRequest) {
    OnFreshThread([] {
        MSG msg;
        EXPECT_FALSE(PostThreadMessage(GetCurrentThreadId(), kFirst, 0, 0))
            << "a thread has no queue before its first message call";
        EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
        ASSERT_TRUE(PostThreadMessage(GetCurrentThreadId(), kFirst, 11, 12));
        ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
        ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, kFirst);
        EXPECT_EQ(msg.hwnd, nullptr);
        EXPECT_EQ(msg.lParam, 12);
        PostQuitMessage(3);
        ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(msg.message, WM_QUIT);
        EXPECT_EQ(GetMessage(&msg, nullptr, 0, 0), FALSE);
        EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
    });
}

TEST(MessageRetrieval, FiltersSelectByWindowAndRangeButNeverHoldBackQuit) {
    OnFreshThread([] {
        RecordingWindow first;
        RecordingWindow second;
        HWND a = first.CreateTopLevel(u"a");
        HWND b = second.CreateTopLevel(u"b");
        PostMessage(a, kFirst, 0, 0);
        PostMessage(b, kSecond, 0, 0);
        MSG msg;
        ASSERT_TRUE(PeekMessage(&msg, b, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, kSecond);
        EXPECT_FALSE(PeekMessage(&msg, nullptr, kSecond, kSecond, PM_REMOVE));
        PostQuitMessage(0);
        EXPECT_EQ(GetMessage(&msg, b, kSecond, kSecond), FALSE);
        ASSERT_TRUE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_EQ(msg.message, kFirst);
        EXPECT_EQ(GetMessage(&msg, reinterpret_cast<HWND>(0x7777), 0, 0), -1);
    });
}

TEST(MessageRetrieval, PostingRefusesCopyDataUnknownTargetsAndAFullQueue) {
    OnFreshThread([] {
        RecordingWindow window;
        HWND hwnd = window.CreateTopLevel(u"full");
        EXPECT_FALSE(PostMessage(hwnd, WM_COPYDATA, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_MESSAGE_SYNC_ONLY);
        EXPECT_FALSE(PostThreadMessage(GetCurrentThreadId(), WM_COPYDATA, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_MESSAGE_SYNC_ONLY);
        EXPECT_FALSE(PostThreadMessage(0x7FFFFFF0, kFirst, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
        for (std::size_t i = 0; i < kPostedMessageLimit; ++i) {
            ASSERT_TRUE(PostMessage(hwnd, kFirst, i, 0));
        }
        EXPECT_FALSE(PostMessage(hwnd, kFirst, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
        DestroyWindow(hwnd);
        EXPECT_FALSE(PostMessage(hwnd, kFirst, 0, 0));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
        MSG msg;
        EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE))
            << "a destroyed window's posted messages go with it";
    });
}

}  // namespace
