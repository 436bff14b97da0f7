// Internals of windows and message queues, shared by the platform's modules.
//
// One process-wide lock guards the window table and every thread's queue. A
// send crosses threads by touching two queues and a reply at once; one lock
// keeps that free of lock-ordering rules, and the few threads of this system
// never make it a bottleneck. Procedures and transport calls always run with
// the lock released.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/timer.h"
#include "platform/types.h"
#include "platform/window.h"
#include "platform/window_messages.h"

namespace platform::detail {

struct ThreadQueue;

struct ReplyState {
    bool done = false;
    // False when completed without the procedure having run (window, thread
    // or process gone first).
    bool handled = false;
    LRESULT result = 0;
    std::weak_ptr<ThreadQueue> waiter;
};

// Completes `state` (first call wins) and wakes its waiting thread. Lock not
// held by the caller.
void CompleteReply(const std::shared_ptr<ReplyState>& state, LRESULT result, bool handled);

struct SentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool hasCopyData = false;
    ULONG_PTR copyDataKind = 0;
    std::vector<BYTE> copyData;
    // Called exactly once; `handled` is false when the message is answered 0
    // because it could not be handled.
    std::function<void(LRESULT result, bool handled)> onDone;
};

struct TimerEntry {
    HWND hwnd = nullptr;
    UINT_PTR id = 0;
    Clock::duration period{};
    Clock::time_point due{};
    TIMERPROC proc = nullptr;
};

struct ThreadQueue {
    explicit ThreadQueue(DWORD id) : threadId(id) {}
    const DWORD threadId;
    bool alive = true;
    std::condition_variable wake;
    std::deque<std::unique_ptr<SentMessage>> sent;
    std::deque<MSG> posted;
    bool quit = false;
    int quitCode = 0;
    std::vector<TimerEntry> timers;
};

struct WindowRecord {
    Window* object = nullptr;
    std::shared_ptr<ThreadQueue> owner;
    std::u16string className;
    std::u16string title;
    DWORD style = 0;
    RECT rect;
    HWND parent = nullptr;
    bool destroying = false;
    // The transport was told about a title and must hear of the destruction.
    bool announced = false;
};

class WindowSystem {
  public:
    std::mutex lock;
    std::unordered_map<std::uintptr_t, WindowRecord> windows;
    // Top-level windows, front first.
    std::vector<HWND> zOrder;
    std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
    std::uintptr_t lastHandle = 0x10000;

    // Lock held for all of these.
    WindowRecord* Find(HWND hwnd);
    static bool IsTopLevel(const WindowRecord& record) { return (record.style & WS_CHILD) == 0; }
};

WindowSystem& Windows();

// Serialises title announcements to the transport with the changes behind
// them, so it never hears of a retitle after the destruction. Taken before
// the window lock, never while a procedure runs.
std::mutex& AnnounceLock();

// The calling thread's queue, created on first use.
std::shared_ptr<ThreadQueue> CurrentQueue();

// Runs a sent message on the calling thread (the window's owner) and
// completes it. Lock not held.
void DispatchSent(std::unique_ptr<SentMessage> message);

// Hands `message` to the window's thread, or answers 0 if the window or its
// thread is gone. Lock not held.
void QueueSent(std::unique_ptr<SentMessage> message);

// Posts to a window of this process. Lock not held; last error set on failure.
bool PostToLocalWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Sends the transport the window's current title if it is a top-level window
// whose title the transport should know about. Lock not held.
void AnnounceTitle(HWND hwnd);

// Removes the window from the table, answers its pending sends with 0 and
// tells the transport. Returns the window's object, null if it was gone
// already. Lock not held.
Window* RemoveWindowRecord(HWND hwnd);

// Waits until `state` is done (true) or `deadline` (false), dispatching
// meanwhile the messages sent to the calling thread unless `handleSends` is
// false.
bool WaitPumpingSent(const std::shared_ptr<ReplyState>& state, Clock::time_point deadline,
                     bool handleSends = true);

// Lock held. Moves the window's pending sends into `failed` (to be answered 0
// once the lock is released) and drops its posted messages and timers.
void ForgetWindowMessages(ThreadQueue& queue, HWND hwnd,
                          std::vector<std::unique_ptr<SentMessage>>& failed);
void RemoveTimersOf(ThreadQueue& queue, HWND hwnd);

// Lock held. The earliest due timer accepted by the filter, made into a
// WM_TIMER; with `remove` it is rearmed one period on.
bool TakeDueTimer(ThreadQueue& queue, HWND filter, Clock::time_point now, bool remove, MSG* msg);
// Lock held. When the next timer of the queue falls due (max() if none).
Clock::time_point NextTimerDue(const ThreadQueue& queue, HWND filter);

// Destroys the windows a thread still owns when it ends. Lock not held.
void DestroyWindowsOfThread(const std::shared_ptr<ThreadQueue>& queue);

// Calls a window's procedure. The window must belong to the calling thread.
LRESULT CallWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

struct WindowAccess {
    static void Detach(Window& window) { window.m_hwnd.store(nullptr, std::memory_order_release); }
    static void Attach(Window& window, HWND hwnd) {
        window.m_hwnd.store(hwnd, std::memory_order_release);
    }
};

}  // namespace platform::detail
