// The thread that owns the process's one bus connection.
//
// sd-bus objects are not thread-safe, so the connection is opened, used and
// closed on this thread only; other threads hand it work. Every piece of work
// that Post accepts runs exactly once, on the bus thread, before Stop
// returns, so whoever waits for a work item to finish is always released.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

struct sd_bus;

namespace platform {

class BusThread {
  public:
    using Work = std::function<void(sd_bus*)>;
    // Opens the connection (on the bus thread) into `*bus`; a negative errno
    // on failure.
    using Opener = std::function<int(sd_bus** bus)>;
    // Prepares the open connection; a negative errno fails the start.
    using Setup = std::function<int(sd_bus* bus)>;

    BusThread() = default;
    ~BusThread();
    BusThread(const BusThread&) = delete;
    BusThread& operator=(const BusThread&) = delete;

    // Starts the thread, opens the connection and runs `setup` on it before
    // returning. On failure (negative errno from `open` or `setup`) the
    // thread is gone again and the error is returned.
    int Start(const Opener& open, const Setup& setup);

    // False (and `work` dropped unrun) when the thread is not running.
    bool Post(Work work);

    // Runs `onDisconnect` on the bus thread once the connection is lost.
    void SetDisconnectHandler(std::function<void()> onDisconnect);

    // Runs the work still queued, then `teardown`, closes the connection and
    // joins. Safe to call when not running.
    void Stop(Work teardown);

    bool OnBusThread() const { return std::this_thread::get_id() == m_id.load(); }

  private:
    void Run(sd_bus* bus);
    bool RunQueuedWork(sd_bus* bus);
    // m_mutex held.
    void WakeLocked();
    // Once the thread has ended.
    void CloseWakeFd();

    std::mutex m_mutex;
    std::deque<Work> m_work;
    bool m_accepting = false;
    bool m_stopping = false;
    // Set before the thread starts and closed after it ended; the thread
    // itself reads it without the lock.
    int m_wakeFd = -1;
    Work m_teardown;
    std::function<void()> m_onDisconnect;
    std::thread m_thread;
    std::atomic<std::thread::id> m_id{};
};

}  // namespace platform
