// Kernel objects: events, threads, named mutexes, critical sections, waits and
// the per-thread last error.
//
// A HANDLE is a small value looked up in a process-wide table. The table holds
// a reference to the object; a wait or a running thread holds its own, so
// closing a handle that another thread still waits on never frees the object
// under that wait. A closed or unknown handle fails with ERROR_INVALID_HANDLE.
// Handle values are never reused within a process.
#pragma once

#include <cstddef>
#include <mutex>
#include <utility>

#include "platform/types.h"

namespace platform {

DWORD GetLastError();
void SetLastError(DWORD error);

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Events. Only unnamed events exist on this platform.
HANDLE CreateEvent(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                   LPCWSTR name);
// Satisfies the waits the event completes before it returns, oldest first:
// a manual-reset event releases every thread waiting for it, an auto-reset one
// the first waiter (and stays reset), even if ResetEvent follows at once.
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits until the object is signalled or `ms` platform milliseconds (scaled)
// have passed; 0 only tests, INFINITE never times out. Signalled objects are
// events that are set, threads that have ended and mutexes that the calling
// thread may take. A mutex whose owning thread ended without releasing it is
// abandoned: the wait that takes it next owns it and returns WAIT_ABANDONED_0.
DWORD WaitForSingleObject(HANDLE handle, DWORD ms);

// Waits for any (or, with waitAll, every) of up to MAXIMUM_WAIT_OBJECTS
// handles. With several set, WAIT_OBJECT_0 plus the lowest index is reported;
// WAIT_ABANDONED_0 plus the index when the object taken (with waitAll: the
// lowest among those) is an abandoned mutex. With waitAll, naming one object
// twice (by the same handle or another) fails with WAIT_FAILED and
// ERROR_INVALID_PARAMETER.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms);

BOOL CloseHandle(HANDLE handle);

// Another handle to the same object (in this process only).
HANDLE DuplicateHandle(HANDLE handle);

// Threads. The returned handle becomes signalled when the thread has ended.
// Closing it while the thread runs is allowed: the thread goes on and its
// resources are freed when it ends.
using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);
inline constexpr DWORD STILL_ACTIVE = 259;
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE start, void* parameter, DWORD creationFlags,
                    DWORD* threadId);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
DWORD GetCurrentThreadId();

// Named mutexes are system-wide: creating one whose name any process (this
// one included) holds open sets last error ERROR_ALREADY_EXISTS and returns a
// handle all the same. The name lives in DMBTPEG_RUNTIME_DIR (default
// $XDG_RUNTIME_DIR/dmbtpeg, else /tmp/dmbtpeg-<uid>) as a lock file; it is
// gone when the last handle of every process is closed, also when a process
// dies. Ownership (initialOwner, waits, ReleaseMutex) is tracked within the
// process only: the system-wide part is the name. A thread that ends owning a
// mutex abandons it (see WaitForSingleObject). A released mutex goes straight
// to the oldest waiting thread whose wait it completes.
HANDLE CreateMutex(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// Recursive critical sections.
struct CRITICAL_SECTION {
    std::recursive_mutex* mutex = nullptr;
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);

// Owns one handle and closes it when it goes out of scope.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.m_handle, nullptr));
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return m_handle; }
    HANDLE Release() { return std::exchange(m_handle, nullptr); }
    void Reset(HANDLE handle = nullptr) {
        if (m_handle != nullptr) {
            CloseHandle(m_handle);
        }
        m_handle = handle;
    }
    explicit operator bool() const { return m_handle != nullptr; }

  private:
    HANDLE m_handle = nullptr;
};

}  // namespace platform
