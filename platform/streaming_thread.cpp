#include "platform/streaming_thread.h"

#include <system_error>

#include "platform/clock.h"
#include "platform/thread_priority.h"

namespace platform {

namespace {
// Which StreamingThread the calling thread is, so that a Stop from the
// thread's own function is recognised even before Start has returned.
thread_local const StreamingThread* tCurrent = nullptr;
}  // namespace

StreamingThread::StreamingThread(std::u16string priorityValueName)
    : m_priorityValueName(std::move(priorityValueName)) {}

StreamingThread::~StreamingThread() {
    Stop();
}

bool StreamingThread::Start(std::function<void(StreamingThread&)> body) {
    std::lock_guard control(m_control);
    if (m_thread.joinable()) {
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        m_stopRequested = false;
    }
    std::optional<DWORD> priority = ConfiguredThreadPriority(m_priorityValueName);
    try {
        m_thread = std::thread([this, priority, body = std::move(body)] {
            tCurrent = this;
            if (priority) {
                ApplyDevicePriorityToCurrentThread(*priority);
            }
            body(*this);
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void StreamingThread::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopRequested = true;
        m_wake.notify_all();
    }
    if (tCurrent == this) {
        return;
    }
    std::lock_guard control(m_control);
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool StreamingThread::IsRunning() const {
    std::lock_guard control(m_control);
    return m_thread.joinable();
}

bool StreamingThread::StopRequested() const {
    std::lock_guard lock(m_mutex);
    return m_stopRequested;
}

bool StreamingThread::WaitForStop(DWORD ms) {
    std::unique_lock lock(m_mutex);
    auto stopRequested = [this] { return m_stopRequested; };
    if (ms == INFINITE) {
        m_wake.wait(lock, stopRequested);
        return true;
    }
    return m_wake.wait_for(lock, ScaledDuration(ms), stopRequested);
}

}  // namespace platform
