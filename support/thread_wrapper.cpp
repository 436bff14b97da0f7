#include "support/thread_wrapper.h"

#include "platform/format.h"

using namespace platform;

DWORD cThread::ThreadStart1(void* self) {
    auto* owner = static_cast<cThread*>(self);
    { std::lock_guard started(owner->mStartLock); }
    return owner->Run1();
}

DWORD cThread::ThreadStart2(void* self) {
    auto* owner = static_cast<cThread*>(self);
    { std::lock_guard started(owner->mStartLock); }
    return owner->Run2();
}

int cThread::Create1(DWORD creationFlags, std::size_t stackSize, LPSECURITY_ATTRIBUTES security) {
    DebugPrintf(u" ****************cThread::Create1 Call******************* \r\n");
    if (mhThread.load() != nullptr) {
        return 0;
    }
    DebugPrintf(u" ****************cThread::Create OK!******************* \r\n");
    std::lock_guard starting(mStartLock);
    DWORD id = 0;
    HANDLE thread =
        CreateThread(security, stackSize, &cThread::ThreadStart1, this, creationFlags, &id);
    mdwThreadId = id;
    mhThread = thread;
    return thread != nullptr ? 1 : 0;
}

int cThread::Create2(DWORD creationFlags, std::size_t stackSize, LPSECURITY_ATTRIBUTES security) {
    DebugPrintf(u" *****************cThread::Create2 Call***************** \r\n");
    if (mhThread2.load() != nullptr) {
        return 0;
    }
    std::lock_guard starting(mStartLock);
    DWORD id = 0;
    HANDLE thread =
        CreateThread(security, stackSize, &cThread::ThreadStart2, this, creationFlags, &id);
    mdwThreadId = id;
    mhThread2 = thread;
    return thread != nullptr ? 1 : 0;
}
