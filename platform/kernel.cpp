#include "platform/kernel.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <span>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/kernel_object.h"

namespace platform {
namespace detail {
namespace {

// Queued waits, oldest first, wait lock held to touch. Each entry lives with
// its waiting thread for the length of its wait, so a change of state looks
// only at the waits for that object: a queue's data event set every frame
// must not wake every thread of the process.
Waiter* gFirstWaiter = nullptr;
Waiter* gLastWaiter = nullptr;

void Enqueue(Waiter& waiter) {
    waiter.previous = gLastWaiter;
    waiter.next = nullptr;
    if (gLastWaiter != nullptr) {
        gLastWaiter->next = &waiter;
    } else {
        gFirstWaiter = &waiter;
    }
    gLastWaiter = &waiter;
    waiter.queued = true;
}

void Dequeue(Waiter& waiter) {
    if (!waiter.queued) {
        return;
    }
    if (waiter.previous != nullptr) {
        waiter.previous->next = waiter.next;
    } else {
        gFirstWaiter = waiter.next;
    }
    if (waiter.next != nullptr) {
        waiter.next->previous = waiter.previous;
    } else {
        gLastWaiter = waiter.previous;
    }
    waiter.next = waiter.previous = nullptr;
    waiter.queued = false;
}

bool WaitsFor(const Waiter& waiter, const KernelObject& object) {
    for (const auto& waited : waiter.objects) {
        if (waited.get() == &object) {
            return true;
        }
    }
    return false;
}

class HandleTable {
  public:
    HANDLE Insert(std::shared_ptr<KernelObject> object) {
        std::lock_guard lock(m_mutex);
        m_next += 4;
        m_objects.emplace(m_next, std::move(object));
        return reinterpret_cast<HANDLE>(m_next);
    }
    std::shared_ptr<KernelObject> Lookup(HANDLE handle) {
        std::lock_guard lock(m_mutex);
        auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == m_objects.end() ? nullptr : it->second;
    }
    std::shared_ptr<KernelObject> Remove(HANDLE handle) {
        std::lock_guard lock(m_mutex);
        auto it = m_objects.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == m_objects.end()) {
            return nullptr;
        }
        auto object = std::move(it->second);
        m_objects.erase(it);
        return object;
    }

  private:
    std::mutex m_mutex;
    std::uintptr_t m_next = 0x100;
    std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> m_objects;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // outlives threads still running at exit
    return *table;
}

// Wait lock held. Takes what a satisfied wait consumes (auto-reset events,
// mutexes) for `threadId` and returns its result, or WAIT_TIMEOUT.
DWORD TrySatisfy(std::span<const std::shared_ptr<KernelObject>> objects, bool waitAll,
                 DWORD threadId) {
    if (waitAll) {
        for (const auto& o : objects) {
            if (!o->IsSignalledFor(threadId)) {
                return WAIT_TIMEOUT;
            }
        }
        DWORD abandoned = WAIT_TIMEOUT;
        for (std::size_t i = 0; i < objects.size(); ++i) {
            if (objects[i]->OnWaitSatisfied(threadId) && abandoned == WAIT_TIMEOUT) {
                abandoned = static_cast<DWORD>(i);
            }
        }
        return abandoned == WAIT_TIMEOUT ? WAIT_OBJECT_0 : WAIT_ABANDONED_0 + abandoned;
    }
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->IsSignalledFor(threadId)) {
            const bool abandoned = objects[i]->OnWaitSatisfied(threadId);
            return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + static_cast<DWORD>(i);
        }
    }
    return WAIT_TIMEOUT;
}

// Looks the handles up into `held`; WAIT_FAILED with last error set when a
// handle is unknown or the arguments are not a valid wait.
DWORD Hold(DWORD count, const HANDLE* handles, bool waitAll,
           std::array<std::shared_ptr<KernelObject>, MAXIMUM_WAIT_OBJECTS>& held) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    for (DWORD i = 0; i < count; ++i) {
        held[i] = LookupHandle(handles[i]);
        if (!held[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    // Waiting for all of an object twice could never be satisfied atomically;
    // Win32 refuses it whatever handles name the object.
    if (waitAll) {
        for (DWORD i = 1; i < count; ++i) {
            for (DWORD j = 0; j < i; ++j) {
                if (held[i] == held[j]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
            }
        }
    }
    return WAIT_TIMEOUT;
}

}  // namespace

std::mutex& WaitLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

void NotifyWaitersOf(const KernelObject& object) {
    Waiter* next = nullptr;
    for (Waiter* waiter = gFirstWaiter; waiter != nullptr; waiter = next) {
        next = waiter->next;
        if (!WaitsFor(*waiter, object)) {
            continue;
        }
        const DWORD result = TrySatisfy(waiter->objects, waiter->waitAll, waiter->threadId);
        if (result == WAIT_TIMEOUT) {
            continue;
        }
        Dequeue(*waiter);
        // The waiting thread may read its result without the wait lock, but
        // it cannot leave its wait before the lock is released: the waiter
        // and its notifier stay valid until then.
        waiter->result.store(result, std::memory_order_release);
        if (waiter->notifier != nullptr) {
            waiter->notifier->Notify();
        } else {
            waiter->wake.notify_one();
        }
    }
}

RegisteredWait::RegisteredWait(DWORD count, const HANDLE* handles, bool waitAll,
                               WaitNotifier* notifier) {
    if (Hold(count, handles, waitAll, m_objects) == WAIT_FAILED) {
        m_waiter.result.store(WAIT_FAILED, std::memory_order_release);
        return;
    }
    WatchThreadEnd();
    m_waiter.objects = std::span<const std::shared_ptr<KernelObject>>(m_objects.data(), count);
    m_waiter.waitAll = waitAll;
    m_waiter.threadId = GetCurrentThreadId();
    m_waiter.notifier = notifier;
    std::lock_guard lock(WaitLock());
    const DWORD result = TrySatisfy(m_waiter.objects, waitAll, m_waiter.threadId);
    if (result != WAIT_TIMEOUT) {
        m_waiter.result.store(result, std::memory_order_release);
    } else {
        Enqueue(m_waiter);
    }
}

DWORD RegisteredWait::End() {
    {
        std::lock_guard lock(WaitLock());
        Dequeue(m_waiter);
    }
    return Result();
}

namespace {
std::atomic<void (*)()> gThreadExitHook{nullptr};
}  // namespace

void SetThreadExitHook(void (*hook)()) {
    gThreadExitHook.store(hook);
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    return Table().Insert(std::move(object));
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    return Table().Lookup(handle);
}

}  // namespace detail

namespace {

using detail::KernelObject;

thread_local DWORD tLastError = ERROR_SUCCESS;

class Event final : public KernelObject {
  public:
    Event(bool manualReset, bool signalled) : m_manualReset(manualReset), m_signalled(signalled) {}
    bool IsSignalledFor(DWORD) const override { return m_signalled; }
    bool OnWaitSatisfied(DWORD) override {
        if (!m_manualReset) {
            m_signalled = false;
        }
        return false;
    }
    // True when the event went from reset to set.
    bool Set(bool signalled) {
        const bool rose = signalled && !m_signalled;
        m_signalled = signalled;
        return rose;
    }

  private:
    bool m_manualReset;
    bool m_signalled;
};

class Thread final : public KernelObject {
  public:
    Thread(LPTHREAD_START_ROUTINE start, void* parameter)
        : m_start(start), m_parameter(parameter) {}
    bool IsSignalledFor(DWORD) const override { return m_ended; }

    DWORD ExitCode() const {
        std::lock_guard lock(detail::WaitLock());
        return m_ended ? m_exitCode : STILL_ACTIVE;
    }

    static void* Main(void* raw);

    DWORD m_id = 0;

  private:
    LPTHREAD_START_ROUTINE m_start;
    void* m_parameter;
    bool m_ended = false;
    DWORD m_exitCode = STILL_ACTIVE;
};

std::atomic<DWORD> gNextThreadId{0x1000};
thread_local DWORD tThreadId = 0;

void* Thread::Main(void* raw) {
    // The running thread holds its own reference, so closing the handle never
    // frees the object under it.
    std::unique_ptr<std::shared_ptr<Thread>> holder(static_cast<std::shared_ptr<Thread>*>(raw));
    std::shared_ptr<Thread> self = *holder;
    holder.reset();
    tThreadId = self->m_id;
    DWORD code = self->m_start(self->m_parameter);
    if (auto hook = detail::gThreadExitHook.load()) {
        hook();
    }
    std::lock_guard lock(detail::WaitLock());
    // Abandoned in the same step as the thread ends: whoever sees the thread
    // ended also finds its mutexes abandoned.
    detail::AbandonMutexesOf(self->m_id);
    self->m_exitCode = code;
    self->m_ended = true;
    detail::NotifyWaitersOf(*self);
    return nullptr;
}

}  // namespace

DWORD GetLastError() {
    return tLastError;
}
void SetLastError(DWORD error) {
    tLastError = error;
}

HANDLE CreateEvent(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return detail::InsertHandle(
        std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

namespace {
BOOL SetEventState(HANDLE handle, bool signalled) {
    auto event = detail::LookupHandleAs<Event>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(detail::WaitLock());
    // Setting an event that is already set changes nothing a waiter could see.
    if (event->Set(signalled)) {
        detail::NotifyWaitersOf(*event);
    }
    return TRUE;
}
}  // namespace

BOOL SetEvent(HANDLE event) {
    return SetEventState(event, true);
}
BOOL ResetEvent(HANDLE event) {
    return SetEventState(event, false);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD ms) {
    return WaitForMultipleObjects(1, &handle, FALSE, ms);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
    // On the stack: a wait allocates nothing.
    std::array<std::shared_ptr<KernelObject>, MAXIMUM_WAIT_OBJECTS> held;
    if (detail::Hold(count, handles, waitAll != FALSE, held) == WAIT_FAILED) {
        return WAIT_FAILED;
    }
    detail::WatchThreadEnd();
    detail::Waiter waiter;
    waiter.objects = std::span<const std::shared_ptr<KernelObject>>(held.data(), count);
    waiter.waitAll = waitAll != FALSE;
    waiter.threadId = GetCurrentThreadId();
    const bool forever = ms == INFINITE;
    const auto deadline = forever ? Clock::time_point::max() : Clock::now() + ScaledDuration(ms);
    std::unique_lock lock(detail::WaitLock());
    if (DWORD result = detail::TrySatisfy(waiter.objects, waiter.waitAll, waiter.threadId);
        result != WAIT_TIMEOUT || ms == 0) {
        return result;
    }
    detail::Enqueue(waiter);
    for (;;) {
        // Whoever signalled took the objects for this wait and dequeued it.
        if (DWORD result = waiter.result.load(std::memory_order_relaxed); result != WAIT_TIMEOUT) {
            return result;
        }
        if (!forever && Clock::now() >= deadline) {
            detail::Dequeue(waiter);
            return WAIT_TIMEOUT;
        }
        if (forever) {
            waiter.wake.wait(lock);
        } else {
            waiter.wake.wait_until(lock, deadline);
        }
    }
}

BOOL CloseHandle(HANDLE handle) {
    // The object itself is released outside the table's lock: destroying it
    // may close files or wake waiters.
    auto object = detail::Table().Remove(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object.reset();
    return TRUE;
}

HANDLE DuplicateHandle(HANDLE handle) {
    auto object = detail::LookupHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return detail::InsertHandle(std::move(object));
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    void* parameter, DWORD creationFlags, DWORD* threadId) {
    if (start == nullptr || creationFlags != 0) {
        // Suspended creation is not offered: nothing in this system uses it.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<Thread>(start, parameter);
    thread->m_id = gNextThreadId.fetch_add(4);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        pthread_attr_setstacksize(&attr, std::max<std::size_t>(stackSize, PTHREAD_STACK_MIN));
    }
    auto* holder = new std::shared_ptr<Thread>(thread);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, &Thread::Main, holder);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete holder;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr) {
        *threadId = thread->m_id;
    }
    SetLastError(ERROR_SUCCESS);
    return detail::InsertHandle(std::move(thread));
}

BOOL GetExitCodeThread(HANDLE handle, DWORD* exitCode) {
    auto thread = detail::LookupHandleAs<Thread>(handle);
    if (!thread || exitCode == nullptr) {
        SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = thread->ExitCode();
    return TRUE;
}

DWORD GetCurrentThreadId() {
    if (tThreadId == 0) {
        tThreadId = gNextThreadId.fetch_add(4);
    }
    return tThreadId;
}

void InitializeCriticalSection(CRITICAL_SECTION* section) {
    section->mutex = new std::recursive_mutex;
}

void DeleteCriticalSection(CRITICAL_SECTION* section) {
    delete section->mutex;
    section->mutex = nullptr;
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
    section->mutex->lock();
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) {
    return section->mutex->try_lock() ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
    section->mutex->unlock();
}

}  // namespace platform
