// The thread a filter delivers data on while it runs.
//
// A filter starts it when it runs and stops it when it pauses or stops.
// Stop() returns only after the thread's function has returned, so nothing is
// delivered after the filter's Pause or Stop has returned. The function is
// expected to loop until StopRequested() (or WaitForStop) says to end.
//
// The thread takes the device priority configured under the value name given
// at construction (HKLM\SOFTWARE\Microsoft\DirectShow\ThreadPriority, e.g.
// "Normal" or "Highest"); with none configured it keeps the priority it was
// created with.
//
// Declare it after every member its function uses: its destructor stops it.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/types.h"

namespace platform {

class StreamingThread {
  public:
    explicit StreamingThread(std::u16string priorityValueName = u"Normal");
    ~StreamingThread();
    StreamingThread(const StreamingThread&) = delete;
    StreamingThread& operator=(const StreamingThread&) = delete;

    // Starts `body` on a new thread; false if already started (and not yet
    // stopped) or the thread could not be created.
    bool Start(std::function<void(StreamingThread&)> body);

    // Asks the thread to end and waits until it has. Does nothing if not
    // started. From the streaming thread itself it only asks.
    void Stop();

    // Not from the thread's own function: it waits while a Stop joins.
    bool IsRunning() const;

    // For the thread's function.
    bool StopRequested() const;
    // Waits up to `ms` platform milliseconds (scaled); true when a stop was
    // requested.
    bool WaitForStop(DWORD ms);

  private:
    const std::u16string m_priorityValueName;
    // Held across Start and Stop (with its join), so a Stop racing another
    // still returns only once the thread has ended.
    mutable std::mutex m_control;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopRequested = false;
    std::thread m_thread;
};

}  // namespace platform
