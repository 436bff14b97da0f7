#include "platform/timer.h"

#include <algorithm>

#include "platform/kernel.h"
#include "platform/window_system.h"
#include "platform/window_transport.h"

namespace platform {
namespace {

// Win32's upper bound; longer periods are lowered to it.
constexpr UINT kTimerMaximum = 0x7FFFFFFF;

bool Matches(const detail::TimerEntry& timer, HWND filter) {
    return filter == nullptr || timer.hwnd == filter;
}

}  // namespace

namespace detail {

void RemoveTimersOf(ThreadQueue& queue, HWND hwnd) {
    std::erase_if(queue.timers, [hwnd](const TimerEntry& timer) { return timer.hwnd == hwnd; });
}

bool TakeDueTimer(ThreadQueue& queue, HWND filter, Clock::time_point now, bool remove, MSG* msg) {
    TimerEntry* earliest = nullptr;
    for (auto& timer : queue.timers) {
        if (Matches(timer, filter) && timer.due <= now &&
            (earliest == nullptr || timer.due < earliest->due)) {
            earliest = &timer;
        }
    }
    if (earliest == nullptr) {
        return false;
    }
    *msg = MSG{};
    msg->hwnd = earliest->hwnd;
    msg->message = WM_TIMER;
    msg->wParam = earliest->id;
    msg->lParam = reinterpret_cast<LPARAM>(earliest->proc);
    msg->time = GetTickCount();
    if (remove) {
        // Periods missed during a stall collapse into this one message.
        earliest->due += earliest->period;
        if (earliest->due <= now) {
            earliest->due = now + earliest->period;
        }
    }
    return true;
}

Clock::time_point NextTimerDue(const ThreadQueue& queue, HWND filter) {
    auto next = Clock::time_point::max();
    for (const auto& timer : queue.timers) {
        if (Matches(timer, filter)) {
            next = std::min(next, timer.due);
        }
    }
    return next;
}

}  // namespace detail

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, TIMERPROC proc) {
    auto period = ScaledDuration(std::clamp(ms, USER_TIMER_MINIMUM, kTimerMaximum));
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    detail::WindowRecord* record = IsRemoteWindow(hwnd) ? nullptr : system.Find(hwnd);
    if (record == nullptr || !record->owner->alive) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    detail::ThreadQueue& queue = *record->owner;
    auto due = Clock::now() + period;
    auto it = std::find_if(queue.timers.begin(), queue.timers.end(),
                           [&](const auto& timer) { return timer.hwnd == hwnd && timer.id == id; });
    if (it == queue.timers.end()) {
        queue.timers.push_back(detail::TimerEntry{hwnd, id, period, due, proc});
    } else {
        *it = detail::TimerEntry{hwnd, id, period, due, proc};
    }
    // The owner may be asleep until a later deadline.
    queue.wake.notify_all();
    return id == 0 ? 1 : id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    detail::WindowRecord* record = IsRemoteWindow(hwnd) ? nullptr : system.Find(hwnd);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    auto removed = std::erase_if(record->owner->timers, [&](const detail::TimerEntry& timer) {
        return timer.hwnd == hwnd && timer.id == id;
    });
    if (removed == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

}  // namespace platform
