// Internals of the kernel objects, shared by the platform's own modules.
//
// Every waitable object keeps its signal state under one process-wide lock,
// the wait lock; a change of state wakes the threads waiting for that object
// (each waiting thread has a condition of its own). A single wait engine over
// typed objects keeps the lowest-index rule and wait-all atomicity simple.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/types.h"

namespace platform::detail {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Both called with the wait lock held.
    virtual bool IsSignalled() const = 0;
    virtual void OnWaitSatisfied() {}
};

std::mutex& WaitLock();
// Call with the wait lock held after an object became signalled: wakes the
// threads waiting for it.
void NotifyWaitersOf(const KernelObject& object);

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
