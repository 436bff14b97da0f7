// Internals of the kernel objects, shared by the platform's own modules.
//
// Every waitable object keeps its signal state under one process-wide lock,
// the wait lock. A wait that cannot be satisfied at once is queued; whoever
// makes an object signalled satisfies the queued waits for it there and then,
// oldest first, consuming what each takes (an auto-reset event, a mutex), and
// only then wakes their threads. So an object that is set and reset again at
// once still releases the threads that waited for it, as on Win32, and a
// mutex is handed to its next waiter instead of being taken by whoever runs
// first. A single wait engine over typed objects keeps the lowest-index rule
// and wait-all atomicity simple.
//
// Lock order: the wait lock comes before the window system's lock (a
// WaitNotifier takes it); never take the wait lock while holding that one.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <span>

#include "platform/types.h"

namespace platform::detail {

class KernelObject {
  public:
    virtual ~KernelObject() = default;
    // Both called with the wait lock held, for a wait made by `waiterThread`
    // (which need not be the calling thread: a waiter is satisfied by the
    // thread that signals).
    virtual bool IsSignalledFor(DWORD waiterThread) const = 0;
    // Takes what the wait consumes. True when the wait took an abandoned mutex.
    virtual bool OnWaitSatisfied(DWORD /*waiterThread*/) { return false; }
};

std::mutex& WaitLock();
// Call with the wait lock held after an object became signalled: satisfies
// the queued waits it completes and wakes their threads.
void NotifyWaitersOf(const KernelObject& object);

// Wait lock held. Every mutex that thread `threadId` still owns becomes
// abandoned: free, and its next wait reports WAIT_ABANDONED. Called when a
// thread ends; safe to call twice.
void AbandonMutexesOf(DWORD threadId);

// Makes sure the mutexes the calling thread comes to own are abandoned when
// it ends, whether or not CreateThread made it. Cheap after the first call.
void WatchThreadEnd();

// Something other than a wait's own condition that a satisfied wait must wake,
// such as the waiting thread's message queue. Notify runs with the wait lock
// held, after the wait's result is readable, while the wait is still
// registered (so the notifier is alive).
class WaitNotifier {
  public:
    virtual void Notify() = 0;

  protected:
    ~WaitNotifier() = default;
};

// One wait in the wait lock's queue; the fields are the wait engine's.
struct Waiter {
    std::span<const std::shared_ptr<KernelObject>> objects;
    bool waitAll = false;
    DWORD threadId = 0;
    // WAIT_TIMEOUT until the wait is satisfied; written under the wait lock.
    std::atomic<DWORD> result{WAIT_TIMEOUT};
    std::condition_variable wake;
    WaitNotifier* notifier = nullptr;
    bool queued = false;
    Waiter* next = nullptr;
    Waiter* previous = nullptr;
};

// A wait that blocks somewhere else than in WaitForMultipleObjects: it is
// queued like any wait, so it is satisfied (and the object consumed) the
// moment an object is signalled, and `notifier` hears of it. Made and ended on
// the waiting thread, without the window system's lock held.
class RegisteredWait {
  public:
    // Looks the handles up and takes the objects at once if the wait is
    // satisfied now, else queues it. Result() then tells: WAIT_FAILED (last
    // error set) for bad arguments, a wait result, or WAIT_TIMEOUT while it
    // is pending.
    RegisteredWait(DWORD count, const HANDLE* handles, bool waitAll, WaitNotifier* notifier);
    ~RegisteredWait() { End(); }
    RegisteredWait(const RegisteredWait&) = delete;
    RegisteredWait& operator=(const RegisteredWait&) = delete;

    // Needs no lock; a result other than WAIT_TIMEOUT is final.
    DWORD Result() const { return m_waiter.result.load(std::memory_order_acquire); }
    // Dequeues the wait and returns what it ended with: a result that came
    // at the last moment still counts, since the object was consumed for it.
    DWORD End();

  private:
    std::array<std::shared_ptr<KernelObject>, MAXIMUM_WAIT_OBJECTS> m_objects;
    Waiter m_waiter;
};

// Runs on every thread made by CreateThread once its start routine has
// returned, before its handle is signalled: whoever waits for the thread then
// also sees what this last clean-up did. One hook per process, set by the
// module that needs it.
void SetThreadExitHook(void (*hook)());

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

}  // namespace platform::detail
