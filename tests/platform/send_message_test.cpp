#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "tests/support/message_thread.h"
#include "tests/support/time_scale.h"

using namespace platform;
using testsupport::MessageThread;
using testsupport::RecordingWindow;
using testsupport::WaitUntil;

namespace {

constexpr UINT kAsk = WM_USER + 1;
constexpr UINT kRelay = WM_USER + 2;
constexpr UINT kAnswer = WM_USER + 3;
constexpr UINT kPosted = WM_USER + 4;

TEST(CrossThreadSend, TwoThreadsSendingToEachOtherDoNotDeadlock) {
    HWND first = nullptr;
    HWND second = nullptr;
    RecordingWindow firstWindow([&](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (message == kAsk) {
            return SendMessage(second, kRelay, 0, 0) + 1;
        }
        if (message == kAnswer) {
            return 4;
        }
        return std::nullopt;
    });
    RecordingWindow secondWindow([&](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (message == kRelay) {
            return SendMessage(first, kAnswer, 0, 0) * 10;
        }
        return std::nullopt;
    });
    MessageThread one;
    MessageThread two;
    one.Run([&] { first = firstWindow.CreateTopLevel(u"one"); });
    two.Run([&] { second = secondWindow.CreateTopLevel(u"two"); });
    EXPECT_EQ(SendMessage(first, kAsk, 0, 0), 41);
    EXPECT_EQ(firstWindow.UserMessages(), (std::vector<UINT>{kAsk, kAnswer}));
}

TEST(CrossThreadSend, WhileBlockedOnlySentMessagesAreHandled) {
    testsupport::ScopedTimeScale scale(0.001);
    HWND first = nullptr;
    HWND second = nullptr;
    std::vector<UINT> seenWhileBlocked;
    RecordingWindow* firstPtr = nullptr;
    RecordingWindow firstWindow([&](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (message == kAsk) {
            PostMessage(first, kPosted, 0, 0);
            SetTimer(first, 1, 10, nullptr);
            SendMessage(second, kRelay, 0, 0);
            seenWhileBlocked = firstPtr->Messages();
            return 1;
        }
        if (message == WM_TIMER) {
            KillTimer(first, 1);
        }
        return std::nullopt;
    });
    firstPtr = &firstWindow;
    RecordingWindow secondWindow([&](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (message == kRelay) {
            // Long enough for the first window's timer to fall due many times.
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            return SendMessage(first, kAnswer, 0, 0);
        }
        return std::nullopt;
    });
    MessageThread one;
    MessageThread two;
    one.Run([&] { first = firstWindow.CreateTopLevel(u"one"); });
    two.Run([&] { second = secondWindow.CreateTopLevel(u"two"); });
    EXPECT_EQ(SendMessage(first, kAsk, 0, 0), 1);
    auto seen = [&](UINT message) {
        return std::count(seenWhileBlocked.begin(), seenWhileBlocked.end(), message);
    };
    EXPECT_EQ(seen(kAnswer), 1);
    EXPECT_EQ(seen(kPosted), 0);
    EXPECT_EQ(seen(WM_TIMER), 0);
    ASSERT_TRUE(WaitUntil([&] {
        auto all = firstWindow.Messages();
        return std::count(all.begin(), all.end(), WM_TIMER) == 1 &&
               std::count(all.begin(), all.end(), kPosted) == 1;
    }));
}

TEST(CrossThreadSend, AThreadInAKernelWaitHoldsItsSenderUntilItPumps) {
    std::thread receiver([] {
        RecordingWindow window([](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
            if (message == kAsk) {
                return static_cast<LRESULT>(wParam * 2);
            }
            return std::nullopt;
        });
        HWND hwnd = window.CreateTopLevel(u"busy");
        std::atomic<LRESULT> result{-1};
        std::thread sender([&] { result = SendMessage(hwnd, kAsk, 21, 0); });
        UniqueHandle never(CreateEvent(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(WaitUntil([&] {
            WaitForSingleObject(never.Get(), 1);
            return (GetQueueStatus(QS_SENDMESSAGE) & QS_SENDMESSAGE) != 0;
        }));
        EXPECT_EQ(WaitForSingleObject(never.Get(), 20), WAIT_TIMEOUT);
        EXPECT_TRUE(window.UserMessages().empty());
        EXPECT_EQ(result, -1);
        MSG msg;
        EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
        sender.join();
        EXPECT_EQ(result, 42);
    });
    receiver.join();
}

// A thread waiting for another that is itself sending to it: the plain wait
// would hold both for its whole time-out, the handling one lets both go on.
TEST(CrossThreadSend, WaitingForAThreadThatSendsToTheWaiterHandlesTheSend) {
    RecordingWindow window([](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        if (message == kAsk) {
            return static_cast<LRESULT>(wParam + 1);
        }
        return std::nullopt;
    });
    HWND hwnd = window.CreateTopLevel(u"waiter");
    std::atomic<LRESULT> result{-1};
    UniqueHandle sending(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    struct Start {
        HWND hwnd;
        HANDLE sending;
        std::atomic<LRESULT>* result;
    } start{hwnd, sending.Get(), &result};
    UniqueHandle sender(CreateThread(
        nullptr, 0,
        [](void* parameter) -> DWORD {
            auto* given = static_cast<Start*>(parameter);
            SetEvent(given->sending);
            given->result->store(SendMessage(given->hwnd, kAsk, 41, 0));
            return 0;
        },
        &start, 0, nullptr));
    ASSERT_NE(sender.Get(), nullptr);
    ASSERT_EQ(WaitForSingleObject(sending.Get(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObjectHandlingSends(sender.Get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(result.load(), 42);
    EXPECT_EQ(WaitForSingleObjectHandlingSends(sender.Get(), 0), WAIT_OBJECT_0);
    DestroyWindow(hwnd);
}

// Runs `work` however the test ends, as joining its threads.
class AtEnd {
  public:
    explicit AtEnd(std::function<void()> work) : m_work(std::move(work)) {}
    ~AtEnd() { m_work(); }
    AtEnd(const AtEnd&) = delete;
    AtEnd& operator=(const AtEnd&) = delete;

  private:
    std::function<void()> m_work;
};

void JoinIfRunning(std::thread& thread) {
    if (thread.joinable()) {
        thread.join();
    }
}

// Whether the thread with Linux id `tid` sleeps in the kernel, seen twice
// 20 ms apart: for a thread with nothing else to block on, it is in its wait.
bool Blocked(const std::atomic<pid_t>& tid) {
    auto sleeping = [&] {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        auto end = text.rfind(')');
        return tid.load() != 0 && end != std::string::npos && end + 2 < text.size() &&
               text[end + 2] == 'S';
    };
    return WaitUntil([&] {
        if (!sleeping()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return sleeping();
    });
}

// A thread with a window of its own, waiting for `event` while it handles
// sends; the window is destroyed when the wait ends.
struct SendHandlingWaiter {
    SendHandlingWaiter(RecordingWindow& window, HANDLE event)
        : thread([this, &window, event] {
              hwnd = window.CreateTopLevel(u"waiting");
              tid = ::gettid();
              result = WaitForSingleObjectHandlingSends(event, 5000);
              DestroyWindow(hwnd);
          }) {}

    std::atomic<pid_t> tid{0};
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread thread;
};

// The object is signalled only for an instant, before and after a send was
// handled inside the wait: the wait must be satisfied when it is set, not
// when it next looks.
TEST(WaitHandlingSends, ASetUndoneAtOnceEndsTheWaitAlsoAfterASendWasHandled) {
    UniqueHandle event(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    RecordingWindow window([](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        return message == kAsk ? std::optional<LRESULT>(wParam + 1) : std::nullopt;
    });
    SendHandlingWaiter waiter(window, event.Get());
    AtEnd join([&] { JoinIfRunning(waiter.thread); });
    ASSERT_TRUE(Blocked(waiter.tid));
    EXPECT_EQ(SendMessage(waiter.hwnd, kAsk, 1, 0), 2);
    ASSERT_TRUE(Blocked(waiter.tid));
    SetEvent(event.Get());
    ResetEvent(event.Get());
    waiter.thread.join();
    EXPECT_EQ(waiter.result.load(), WAIT_OBJECT_0);
}

// Win32's MsgWaitForMultipleObjects is not waiting while the messages it
// returned for are handled, so a procedure's own wait gets the object.
TEST(WaitHandlingSends, AProcedureRunInsideTheWaitGetsTheObjectForItsOwnWait) {
    UniqueHandle event(CreateEvent(nullptr, FALSE, FALSE, nullptr));
    std::atomic<bool> inProcedure{false};
    RecordingWindow window([&](UINT message, WPARAM, LPARAM) -> std::optional<LRESULT> {
        if (message != kAsk) {
            return std::nullopt;
        }
        inProcedure = true;
        return static_cast<LRESULT>(WaitForSingleObject(event.Get(), 5000));
    });
    SendHandlingWaiter waiter(window, event.Get());
    std::thread setter;
    AtEnd join([&] {
        JoinIfRunning(setter);
        JoinIfRunning(waiter.thread);
    });
    ASSERT_TRUE(Blocked(waiter.tid));
    setter = std::thread([&] {
        if (WaitUntil([&] { return inProcedure.load(); }) && Blocked(waiter.tid)) {
            SetEvent(event.Get());
        }
    });
    EXPECT_EQ(SendMessage(waiter.hwnd, kAsk, 0, 0), static_cast<LRESULT>(WAIT_OBJECT_0));
    setter.join();
    ASSERT_TRUE(Blocked(waiter.tid));
    EXPECT_EQ(waiter.result.load(), WAIT_FAILED) << "still waiting";
    SetEvent(event.Get());
    waiter.thread.join();
    EXPECT_EQ(waiter.result.load(), WAIT_OBJECT_0);
}

TEST(CrossThreadSend, CopyDataBytesAreReadableDuringTheCall) {
    std::vector<BYTE> received;
    ULONG_PTR kind = 0;
    RecordingWindow window([&](UINT message, WPARAM, LPARAM lParam) -> std::optional<LRESULT> {
        if (message == WM_COPYDATA) {
            const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            const auto* bytes = static_cast<const BYTE*>(record->lpData);
            received.assign(bytes, bytes + record->cbData);
            kind = record->dwData;
            return record->cbData;
        }
        return std::nullopt;
    });
    MessageThread thread;
    HWND hwnd = nullptr;
    thread.Run([&] { hwnd = window.CreateTopLevel(u"copy"); });
    char text[] = "\\TPEGDATA\\a.dat";
    COPYDATASTRUCT record{3, sizeof(text), text};
    EXPECT_EQ(SendMessage(hwnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record)),
              static_cast<LRESULT>(sizeof(text)));
    EXPECT_EQ(kind, 3u);
    ASSERT_EQ(received.size(), sizeof(text));
    EXPECT_EQ(std::memcmp(received.data(), text, sizeof(text)), 0);
}

// The receiver does not pump until after the time-out, so the outcome does
// not depend on timing: the caller's wait handles the send already queued to
// it, times out, and the message handled later must neither reach the
// caller's record nor its finished wait.
TEST(SendMessageTimeout, AReceiverThatDoesNotPumpInTimeFailsTheSendAndHandlesItLater) {
    testsupport::ScopedTimeScale fast(0.01);
    RecordingWindow ours([](UINT message, WPARAM wParam, LPARAM) -> std::optional<LRESULT> {
        return message == kAsk ? std::optional<LRESULT>(wParam + 1) : std::nullopt;
    });
    HWND own = ours.CreateTopLevel(u"caller");
    std::vector<BYTE> received;
    RecordingWindow theirs([&](UINT message, WPARAM, LPARAM lParam) -> std::optional<LRESULT> {
        if (message != WM_COPYDATA) {
            return std::nullopt;
        }
        const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        const auto* bytes = static_cast<const BYTE*>(record->lpData);
        received.assign(bytes, bytes + record->cbData);
        return 1;
    });
    std::atomic<HWND> stuck{nullptr};
    DWORD_PTR asked = 0;
    UniqueHandle pump(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    std::thread receiver([&] {
        stuck = theirs.CreateTopLevel(u"stuck");
        // SMTO_BLOCK: the send queued to this thread meanwhile stays queued.
        SendMessageTimeout(own, kAsk, 41, 0, SMTO_BLOCK, INFINITE, &asked);
        WaitForSingleObject(pump.Get(), INFINITE);
        MSG msg;
        PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);
    });
    ASSERT_TRUE(WaitUntil([] { return (GetQueueStatus(QS_SENDMESSAGE) & QS_SENDMESSAGE) != 0; }));
    {
        std::vector<BYTE> bytes{1, 2, 3};
        COPYDATASTRUCT record{5, static_cast<DWORD>(bytes.size()), bytes.data()};
        DWORD_PTR result = 99;
        EXPECT_EQ(SendMessageTimeout(stuck, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record),
                                     SMTO_NORMAL, 1000, &result),
                  0);
        EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
        EXPECT_EQ(result, 99u);
        bytes.assign(bytes.size(), 0xEE);
    }
    EXPECT_EQ(ours.UserMessages(), std::vector<UINT>{kAsk});
    SetEvent(pump.Get());
    receiver.join();
    EXPECT_EQ(asked, 42u);
    EXPECT_EQ(received, (std::vector<BYTE>{1, 2, 3}));

    DWORD_PTR result = 0;
    EXPECT_EQ(SendMessageTimeout(stuck, kAsk, 0, 0, SMTO_NORMAL, 1000, &result), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    DestroyWindow(own);
}

TEST(SendToAGoneWindow, DestroyedWindowAnswersZero) {
    RecordingWindow window([](UINT, WPARAM, LPARAM) -> std::optional<LRESULT> { return 5; });
    MessageThread thread;
    HWND hwnd = nullptr;
    thread.Run([&] { hwnd = window.CreateTopLevel(u"gone"); });
    EXPECT_EQ(SendMessage(hwnd, kAsk, 0, 0), 5);
    EXPECT_FALSE(DestroyWindow(hwnd)) << "only the owning thread destroys a window";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    thread.Run([&] { EXPECT_TRUE(DestroyWindow(hwnd)); });
    EXPECT_EQ(SendMessage(hwnd, kAsk, 0, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(window.GetHwnd(), nullptr);
}

TEST(SendToAGoneWindow, ThreadThatEndedDestroyedItsWindows) {
    RecordingWindow window([](UINT, WPARAM, LPARAM) -> std::optional<LRESULT> { return 5; });
    HWND hwnd = nullptr;
    {
        MessageThread thread;
        thread.Run([&] { hwnd = window.CreateTopLevel(u"ended"); });
    }
    EXPECT_EQ(SendMessage(hwnd, kAsk, 0, 0), 0);
    EXPECT_FALSE(IsWindow(hwnd));
    auto messages = window.Messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), WM_DESTROY), messages.end());
    EXPECT_EQ(messages.back(), WM_NCDESTROY);
}

DWORD OwnWindowAndEndWithoutPumping(void* parameter) {
    RecordingWindow* window = static_cast<RecordingWindow*>(parameter);
    window->CreateTopLevel(u"quitter");
    WaitUntil([] { return (GetQueueStatus(QS_SENDMESSAGE) & QS_SENDMESSAGE) != 0; });
    return 0;
}

TEST(SendToAGoneWindow, SendQueuedWhenTheThreadEndsIsAnsweredZero) {
    RecordingWindow window([](UINT, WPARAM, LPARAM) -> std::optional<LRESULT> { return 5; });
    UniqueHandle thread(
        CreateThread(nullptr, 0, &OwnWindowAndEndWithoutPumping, &window, 0, nullptr));
    ASSERT_TRUE(WaitUntil([&] { return window.GetHwnd() != nullptr; }));
    EXPECT_EQ(SendMessage(window.GetHwnd(), kAsk, 0, 0), 0);
    EXPECT_EQ(WaitForSingleObject(thread.Get(), INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(window.UserMessages().empty());
}

}  // namespace
