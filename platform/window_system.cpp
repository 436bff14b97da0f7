#include "platform/window_system.h"

#include "platform/kernel.h"
#include "platform/kernel_object.h"

namespace platform::detail {
namespace {

void EndThreadQueue(const std::shared_ptr<ThreadQueue>& queue) {
    std::vector<std::unique_ptr<SentMessage>> failed;
    {
        std::lock_guard lock(Windows().lock);
        if (!queue->alive) {
            return;
        }
        // Marked dead first: sends that arrive while the windows are being
        // destroyed are answered at once instead of waiting for a loop that
        // will never run again.
        queue->alive = false;
        for (auto& message : queue->sent) {
            failed.push_back(std::move(message));
        }
        queue->sent.clear();
        queue->posted.clear();
        queue->timers.clear();
        auto it = Windows().queues.find(queue->threadId);
        if (it != Windows().queues.end() && it->second == queue) {
            Windows().queues.erase(it);
        }
    }
    for (auto& message : failed) {
        message->onDone(0, false);
    }
    DestroyWindowsOfThread(queue);
}

// The queue lives as long as the thread; its destructor is the thread's last
// word to its windows and to the threads still sending to them.
struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    QueueHolder() = default;
    QueueHolder(const QueueHolder&) = delete;
    QueueHolder& operator=(const QueueHolder&) = delete;
    ~QueueHolder() {
        if (queue) {
            EndThreadQueue(queue);
        }
    }
};

thread_local QueueHolder tQueue;

void EndCurrentThreadQueue() {
    if (tQueue.queue) {
        EndThreadQueue(tQueue.queue);
    }
}

}  // namespace

WindowSystem& Windows() {
    static WindowSystem* system = new WindowSystem;  // outlives threads still running at exit
    return *system;
}

std::mutex& AnnounceLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

WindowRecord* WindowSystem::Find(HWND hwnd) {
    auto it = windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return it == windows.end() ? nullptr : &it->second;
}

std::shared_ptr<ThreadQueue> CurrentQueue() {
    if (!tQueue.queue) {
        static const bool hooked = [] {
            SetThreadExitHook(&EndCurrentThreadQueue);
            return true;
        }();
        (void)hooked;
        auto queue = std::make_shared<ThreadQueue>(GetCurrentThreadId());
        {
            std::lock_guard lock(Windows().lock);
            Windows().queues[queue->threadId] = queue;
        }
        tQueue.queue = std::move(queue);
    }
    return tQueue.queue;
}

}  // namespace platform::detail
