#include "platform/bus_thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <future>

namespace platform {
namespace {

int PollTimeoutMs(sd_bus* bus) {
    std::uint64_t until = 0;
    if (sd_bus_get_timeout(bus, &until) < 0 || until == UINT64_MAX) {
        return -1;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                            static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
    if (until <= nowUsec) {
        return 0;
    }
    std::uint64_t ms = (until - nowUsec + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

BusThread::~BusThread() {
    Stop({});
}

int BusThread::Start(const Opener& open, const Setup& setup) {
    if (m_thread.joinable()) {
        return -EALREADY;
    }
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        return -errno;
    }
    {
        std::lock_guard lock(m_mutex);
        m_wakeFd = wakeFd;
    }
    std::promise<int> started;
    m_thread = std::thread([&] {
        m_id.store(std::this_thread::get_id());
        sd_bus* bus = nullptr;
        int result = open(&bus);
        if (result >= 0) {
            result = setup(bus);
        }
        if (result < 0) {
            sd_bus_flush_close_unref(bus);
            started.set_value(result);
            return;
        }
        {
            std::lock_guard lock(m_mutex);
            m_accepting = true;
            m_stopping = false;
        }
        started.set_value(0);
        Run(bus);
    });
    int result = started.get_future().get();
    if (result < 0) {
        m_thread.join();
        m_id.store(std::thread::id());
        CloseWakeFd();
    }
    return result;
}

bool BusThread::Post(Work work) {
    std::lock_guard lock(m_mutex);
    if (!m_accepting) {
        return false;
    }
    m_work.push_back(std::move(work));
    WakeLocked();
    return true;
}

void BusThread::SetDisconnectHandler(std::function<void()> onDisconnect) {
    std::lock_guard lock(m_mutex);
    m_onDisconnect = std::move(onDisconnect);
}

void BusThread::Stop(Work teardown) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable()) {
            return;
        }
        m_accepting = false;
        m_stopping = true;
        m_teardown = std::move(teardown);
        WakeLocked();
    }
    m_thread.join();
    m_id.store(std::thread::id());
    CloseWakeFd();
}

// Under the lock, like the descriptor's closing: a poster that wrote after
// releasing it could write to a descriptor Stop had closed meanwhile, and so
// to whatever file reused its number.
void BusThread::WakeLocked() {
    std::uint64_t one = 1;
    // A full counter still wakes the poll, so a failed write loses nothing.
    [[maybe_unused]] auto written = write(m_wakeFd, &one, sizeof one);
}

void BusThread::CloseWakeFd() {
    std::lock_guard lock(m_mutex);
    close(m_wakeFd);
    m_wakeFd = -1;
}

bool BusThread::RunQueuedWork(sd_bus* bus) {
    std::deque<Work> batch;
    {
        std::lock_guard lock(m_mutex);
        batch.swap(m_work);
    }
    for (auto& work : batch) {
        work(bus);
    }
    return !batch.empty();
}

void BusThread::Run(sd_bus* bus) {
    bool connected = true;
    for (;;) {
        RunQueuedWork(bus);
        if (connected) {
            int processed = sd_bus_process(bus, nullptr);
            if (processed < 0) {
                connected = false;
                std::function<void()> onDisconnect;
                {
                    std::lock_guard lock(m_mutex);
                    onDisconnect = m_onDisconnect;
                }
                if (onDisconnect) {
                    onDisconnect();
                }
                continue;
            }
            if (processed > 0) {
                continue;
            }
        }
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping && m_work.empty()) {
                break;
            }
        }
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {-1, 0, 0}};
        nfds_t count = 1;
        int timeout = -1;
        if (connected) {
            fds[1].fd = sd_bus_get_fd(bus);
            int events = sd_bus_get_events(bus);
            fds[1].events = static_cast<short>(events < 0 ? 0 : events);
            count = 2;
            timeout = PollTimeoutMs(bus);
        }
        poll(fds, count, timeout);
        std::uint64_t drained = 0;
        [[maybe_unused]] auto read = ::read(m_wakeFd, &drained, sizeof drained);
    }
    Work teardown;
    {
        std::lock_guard lock(m_mutex);
        teardown = std::move(m_teardown);
    }
    if (teardown) {
        teardown(bus);
    }
    sd_bus_flush_close_unref(bus);
}

}  // namespace platform
