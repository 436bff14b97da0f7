#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/kernel.h"
#include "tests/support/time_scale.h"

using namespace platform;

namespace {

class ScopedTimeScale {
  public:
    explicit ScopedTimeScale(double scale) : m_old(TimeScale()) { SetTimeScaleForTesting(scale); }
    ~ScopedTimeScale() { SetTimeScaleForTesting(m_old); }

  private:
    double m_old;
};

// Whether the thread with Linux id `tid` sleeps in the kernel.
bool Sleeping(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
}

// Waits until every thread sleeps, seen twice 20 ms apart. For threads that
// have nothing else to block on, that means they are inside their wait.
bool AllBlocked(const std::vector<std::atomic<pid_t>*>& tids) {
    auto all = [&] {
        for (const auto* tid : tids) {
            if (tid->load() == 0 || !Sleeping(tid->load())) {
                return false;
            }
        }
        return true;
    };
    return testsupport::WaitUntil([&] {
        if (!all()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return all();
    });
}

// Joins the threads however the test ends; their waits are bounded.
class JoinAtEnd {
  public:
    explicit JoinAtEnd(std::vector<std::thread>& threads) : m_threads(threads) {}
    ~JoinAtEnd() {
        for (auto& thread : m_threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
    }
    JoinAtEnd(const JoinAtEnd&) = delete;
    JoinAtEnd& operator=(const JoinAtEnd&) = delete;

  private:
    std::vector<std::thread>& m_threads;
};

TEST(Wait, ReportsTheLowestIndexAmongSetEvents) {
    UniqueHandle quit(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle channel(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle passEnd(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    HANDLE events[] = {quit.Get(), channel.Get(), passEnd.Get()};
    SetEvent(passEnd.Get());
    SetEvent(channel.Get());
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    // Manual-reset events stay set after a wait.
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    SetEvent(quit.Get());
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0);
    ResetEvent(quit.Get());
    ResetEvent(channel.Get());
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
}

TEST(Wait, AutoResetEventWakesOneWait) {
    UniqueHandle event(CreateEvent(nullptr, FALSE, TRUE, nullptr));
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_TIMEOUT);
}

TEST(Wait, WaitAllNeedsEveryObject) {
    UniqueHandle a(CreateEvent(nullptr, TRUE, TRUE, nullptr));
    UniqueHandle b(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    HANDLE both[] = {a.Get(), b.Get()};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
    SetEvent(b.Get());
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
}

TEST(Wait, TimeOutFollowsTheTimeScale) {
    ScopedTimeScale scale(0.01);
    UniqueHandle event(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    // 100 s of platform time is 1 s of real time at this scale; the wait must
    // end well before the unscaled period and not before the scaled one.
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event.Get(), 100000), WAIT_TIMEOUT);
    auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
    EXPECT_LT(elapsed, std::chrono::seconds(60));
}

TEST(Wait, SetFromAnotherThreadEndsAnInfiniteWait) {
    UniqueHandle event(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    std::thread setter([&] { SetEvent(event.Get()); });
    EXPECT_EQ(WaitForSingleObject(event.Get(), INFINITE), WAIT_OBJECT_0);
    setter.join();
}

// Win32 satisfies waits inside SetEvent: a ResetEvent right after cannot take
// the signal back from threads that were waiting, whichever wait they are in.
TEST(Wait, SetThenResetAtOnceReleasesEveryThreadThatWasWaiting) {
    constexpr DWORD kLimit = 5000;
    for (int round = 0; round < 10; ++round) {
        UniqueHandle event(CreateEvent(nullptr, TRUE, FALSE, nullptr));
        UniqueHandle never(CreateEvent(nullptr, TRUE, FALSE, nullptr));
        UniqueHandle set(CreateEvent(nullptr, TRUE, TRUE, nullptr));
        const HANDLE any[] = {never.Get(), event.Get()};
        const HANDLE all[] = {set.Get(), event.Get()};
        std::array<std::atomic<pid_t>, 6> tids{};
        std::array<std::atomic<DWORD>, 6> results{};
        std::vector<std::thread> waiters;
        JoinAtEnd joinAtEnd(waiters);
        for (std::size_t i = 0; i < tids.size(); ++i) {
            results[i] = WAIT_FAILED;
            waiters.emplace_back([&, i] {
                tids[i] = ::gettid();
                switch (i % 3) {
                    case 0:
                        results[i] = WaitForSingleObject(event.Get(), kLimit);
                        break;
                    case 1:
                        results[i] = WaitForMultipleObjects(2, any, FALSE, kLimit);
                        break;
                    default:
                        results[i] = WaitForMultipleObjects(2, all, TRUE, kLimit);
                        break;
                }
            });
        }
        std::vector<std::atomic<pid_t>*> watched;
        for (auto& tid : tids) {
            watched.push_back(&tid);
        }
        ASSERT_TRUE(AllBlocked(watched));
        EXPECT_TRUE(SetEvent(event.Get()));
        EXPECT_TRUE(ResetEvent(event.Get()));
        for (auto& waiter : waiters) {
            waiter.join();
        }
        for (std::size_t i = 0; i < results.size(); ++i) {
            ASSERT_EQ(results[i], i % 3 == 1 ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0)
                << "round " << round << ", waiter " << i;
        }
    }
}

TEST(Wait, SetOfAnAutoResetEventReleasesOneWaiterEvenWhenResetAtOnce) {
    UniqueHandle event(CreateEvent(nullptr, FALSE, FALSE, nullptr));
    std::array<std::atomic<pid_t>, 2> tids{};
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    JoinAtEnd joinAtEnd(waiters);
    for (auto& tid : tids) {
        waiters.emplace_back([&] {
            tid = ::gettid();
            if (WaitForSingleObject(event.Get(), 5000) == WAIT_OBJECT_0) {
                ++released;
            }
        });
    }
    ASSERT_TRUE(AllBlocked({&tids[0], &tids[1]}));
    SetEvent(event.Get());
    ResetEvent(event.Get());
    ASSERT_TRUE(testsupport::WaitUntil([&] { return released.load() == 1; }));
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_TIMEOUT) << "the wait took the signal";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(released.load(), 1);
    SetEvent(event.Get());
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released.load(), 2);
}

TEST(Wait, TheSameObjectTwiceInAWaitForAllIsRefused) {
    UniqueHandle event(CreateEvent(nullptr, TRUE, TRUE, nullptr));
    UniqueHandle other(CreateEvent(nullptr, TRUE, TRUE, nullptr));
    UniqueHandle copy(DuplicateHandle(event.Get()));
    const HANDLE twice[] = {event.Get(), other.Get(), event.Get()};
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForMultipleObjects(3, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // Another handle to the same object is the same object.
    const HANDLE viaCopy[] = {event.Get(), copy.Get()};
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForMultipleObjects(2, viaCopy, TRUE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // Waiting for any of them may name one twice.
    EXPECT_EQ(WaitForMultipleObjects(3, twice, FALSE, 0), WAIT_OBJECT_0);
}

TEST(Handles, ClosingWhileAnotherThreadWaitsKeepsTheObjectAlive) {
    HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    HANDLE copy = DuplicateHandle(event);
    std::atomic<DWORD> result{0};
    std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
    // The waiter may or may not have looked the handle up yet; either way the
    // object must not be freed under it, and the copy still reaches it.
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(SetEvent(copy));
    waiter.join();
    EXPECT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_FAILED);
    EXPECT_TRUE(CloseHandle(copy));
}

TEST(Handles, ClosedAndUnknownHandlesFailCleanly) {
    HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_FALSE(ResetEvent(reinterpret_cast<HANDLE>(0x12345)));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    // A new object never takes over a closed handle's value.
    HANDLE next = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(next, event);
    CloseHandle(next);
}

TEST(Handles, LastErrorIsPerThread) {
    SetLastError(ERROR_ALREADY_EXISTS);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        SetLastError(ERROR_INVALID_HANDLE);
    });
    other.join();
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
}

DWORD ReturnParameter(void* parameter) {
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(parameter));
}

DWORD WaitForEvent(void* parameter) {
    WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
    return 7;
}

TEST(Threads, HandleIsSignalledWithTheExitCodeWhenTheThreadEnds) {
    DWORD id = 0;
    UniqueHandle thread(
        CreateThread(nullptr, 0, &ReturnParameter, reinterpret_cast<void*>(42), 0, &id));
    ASSERT_TRUE(thread);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(thread.Get(), INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread.Get(), &code));
    EXPECT_EQ(code, 42u);
}

TEST(Threads, ARunningThreadReportsStillActiveAndSurvivesItsHandleBeingClosed) {
    UniqueHandle go(CreateEvent(nullptr, TRUE, FALSE, nullptr));
    HANDLE thread = CreateThread(nullptr, 64 * 1024, &WaitForEvent, go.Get(), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    HANDLE watcher = DuplicateHandle(thread);
    EXPECT_TRUE(CloseHandle(thread));
    SetEvent(go.Get());
    EXPECT_EQ(WaitForSingleObject(watcher, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(watcher, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(watcher);
}

TEST(Threads, SuspendedCreationIsRefused) {
    EXPECT_EQ(CreateThread(nullptr, 0, &ReturnParameter, nullptr, 4, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    std::atomic<bool> entered{false};
    std::thread other([&] { entered = TryEnterCriticalSection(&cs) != FALSE; });
    other.join();
    EXPECT_FALSE(entered);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    std::thread again([&] {
        entered = TryEnterCriticalSection(&cs) != FALSE;
        if (entered) {
            LeaveCriticalSection(&cs);
        }
    });
    again.join();
    EXPECT_TRUE(entered);
    DeleteCriticalSection(&cs);
}

}  // namespace
