#include "platform/message_queue.h"

#include "platform/kernel.h"
#include "platform/window_system.h"
#include "platform/window_transport.h"

namespace platform {
namespace {

bool InRange(UINT message, UINT filterMin, UINT filterMax) {
    if (filterMin == 0 && filterMax == 0) {
        return true;
    }
    return message >= filterMin && message <= filterMax;
}

bool Accepts(const MSG& msg, HWND filter, UINT filterMin, UINT filterMax) {
    return (filter == nullptr || msg.hwnd == filter) && InRange(msg.message, filterMin, filterMax);
}

bool Retrieve(MSG* msg, HWND filter, UINT filterMin, UINT filterMax, bool remove, bool block) {
    auto self = detail::CurrentQueue();
    std::unique_lock lock(detail::Windows().lock);
    for (;;) {
        if (!self->sent.empty()) {
            auto message = std::move(self->sent.front());
            self->sent.pop_front();
            lock.unlock();
            detail::DispatchSent(std::move(message));
            lock.lock();
            continue;
        }
        for (auto it = self->posted.begin(); it != self->posted.end(); ++it) {
            if (Accepts(*it, filter, filterMin, filterMax)) {
                *msg = *it;
                if (remove) {
                    self->posted.erase(it);
                }
                return true;
            }
        }
        if (self->quit) {
            *msg = MSG{};
            msg->message = WM_QUIT;
            msg->wParam = static_cast<WPARAM>(self->quitCode);
            msg->time = GetTickCount();
            if (remove) {
                self->quit = false;
            }
            return true;
        }
        const bool timersWanted = InRange(WM_TIMER, filterMin, filterMax);
        if (timersWanted && detail::TakeDueTimer(*self, filter, Clock::now(), remove, msg)) {
            return true;
        }
        if (!block) {
            return false;
        }
        auto next = timersWanted ? detail::NextTimerDue(*self, filter) : Clock::time_point::max();
        if (next == Clock::time_point::max()) {
            self->wake.wait(lock);
        } else {
            self->wake.wait_until(lock, next);
        }
    }
}

// Lock held. 0 on success, else the error to report.
DWORD PostLocked(detail::ThreadQueue& queue, HWND hwnd, UINT message, WPARAM wParam,
                 LPARAM lParam) {
    if (!queue.alive) {
        return hwnd == nullptr ? ERROR_INVALID_THREAD_ID : ERROR_INVALID_WINDOW_HANDLE;
    }
    if (queue.posted.size() >= kPostedMessageLimit) {
        return ERROR_NOT_ENOUGH_QUOTA;
    }
    MSG msg;
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    queue.posted.push_back(msg);
    queue.wake.notify_all();
    return ERROR_SUCCESS;
}

BOOL Report(DWORD error) {
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

void PostToTopLevelWindows(UINT message, WPARAM wParam, LPARAM lParam) {
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    for (HWND hwnd : system.zOrder) {
        if (detail::WindowRecord* record = system.Find(hwnd)) {
            PostLocked(*record->owner, hwnd, message, wParam, lParam);
        }
    }
}

}  // namespace

namespace detail {

bool PostToLocalWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD error = ERROR_INVALID_WINDOW_HANDLE;
    {
        std::lock_guard lock(Windows().lock);
        if (WindowRecord* record = Windows().Find(hwnd)) {
            error = PostLocked(*record->owner, hwnd, message, wParam, lParam);
        }
    }
    return Report(error) != FALSE;
}

}  // namespace detail

BOOL GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hwnd != nullptr && GetWindowThreadProcessId(hwnd, nullptr) != GetCurrentThreadId()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    Retrieve(msg, hwnd, filterMin, filterMax, true, true);
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool remove = (removeFlags & PM_REMOVE) != 0;
    return Retrieve(msg, hwnd, filterMin, filterMax, remove, false) ? TRUE : FALSE;
}

DWORD GetQueueStatus(UINT flags) {
    auto self = detail::CurrentQueue();
    std::lock_guard lock(detail::Windows().lock);
    DWORD status = 0;
    if (!self->posted.empty() || self->quit) {
        status |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    }
    if (!self->sent.empty()) {
        status |= QS_SENDMESSAGE;
    }
    if (detail::NextTimerDue(*self, nullptr) <= Clock::now()) {
        status |= QS_TIMER;
    }
    status &= flags;
    return (status << 16) | status;
}

LRESULT DispatchMessage(const MSG* msg) {
    if (msg == nullptr || msg->hwnd == nullptr) {
        return 0;
    }
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        if (!IsWindow(msg->hwnd)) {
            return 0;
        }
        auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        return 0;
    }
    return detail::CallWindowProcedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PostQuitMessage(int exitCode) {
    auto self = detail::CurrentQueue();
    std::lock_guard lock(detail::Windows().lock);
    self->quit = true;
    self->quitCode = exitCode;
    self->wake.notify_all();
}

BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        return Report(ERROR_MESSAGE_SYNC_ONLY);
    }
    if (IsRemoteWindow(hwnd)) {
        WindowTransport* transport = GetWindowTransport();
        if (transport == nullptr || !transport->PostMessage(hwnd, message, wParam, lParam)) {
            return Report(ERROR_INVALID_WINDOW_HANDLE);
        }
        return TRUE;
    }
    if (hwnd == HWND_BROADCAST) {
        PostToTopLevelWindows(message, wParam, lParam);
        if (WindowTransport* transport = GetWindowTransport()) {
            transport->PostBroadcast(message, wParam, lParam);
        }
        return TRUE;
    }
    if (hwnd == nullptr) {
        auto self = detail::CurrentQueue();
        std::lock_guard lock(detail::Windows().lock);
        return Report(PostLocked(*self, nullptr, message, wParam, lParam));
    }
    return detail::PostToLocalWindow(hwnd, message, wParam, lParam) ? TRUE : FALSE;
}

BOOL PostThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        return Report(ERROR_MESSAGE_SYNC_ONLY);
    }
    DWORD error = ERROR_INVALID_THREAD_ID;
    {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        auto it = system.queues.find(threadId);
        if (it != system.queues.end()) {
            error = PostLocked(*it->second, nullptr, message, wParam, lParam);
        }
    }
    return Report(error);
}

void DeliverBroadcast(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_COPYDATA) {
        PostToTopLevelWindows(message, wParam, lParam);
    }
}

bool DeliverPostedMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COPYDATA) {
        SetLastError(ERROR_MESSAGE_SYNC_ONLY);
        return false;
    }
    return detail::PostToLocalWindow(window, message, wParam, lParam);
}

}  // namespace platform
