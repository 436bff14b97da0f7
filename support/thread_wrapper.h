// Gives an object up to two threads of its own, each running one of its
// thread bodies. The wrapper only starts threads: stopping and reaping them,
// and guarding what they share, is the owner's work.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/kernel.h"

class cThread {
  public:
    cThread() = default;
    virtual ~cThread() = default;
    cThread(const cThread&) = delete;
    cThread& operator=(const cThread&) = delete;

    virtual std::uint32_t Run1() = 0;
    virtual std::uint32_t Run2() = 0;

    // Start Run1 (Run2) on a new thread. Returns 1 when a thread was started,
    // 0 when one is recorded already (whether or not it still runs) or the
    // thread could not be created.
    int Create1(platform::DWORD creationFlags, std::size_t stackSize,
                platform::LPSECURITY_ATTRIBUTES security);
    int Create2(platform::DWORD creationFlags, std::size_t stackSize,
                platform::LPSECURITY_ATTRIBUTES security);

    // The recorded threads; none is null. The owner closes a handle and sets
    // it back to null when it has stopped the thread.
    std::atomic<platform::HANDLE> mhThread{nullptr};
    std::atomic<platform::HANDLE> mhThread2{nullptr};
    std::atomic<platform::DWORD> mdwThreadId{0};

  private:
    // Held while a thread is created and its handle recorded, and taken by
    // the new thread before its body runs, so a body that ends at once still
    // finds its handle recorded.
    std::mutex mStartLock;

    static platform::DWORD ThreadStart1(void* self);
    static platform::DWORD ThreadStart2(void* self);
};
