#include <chrono>

#include "platform/clock.h"
#include "platform/kernel.h"
#include "platform/kernel_object.h"
#include "platform/message_queue.h"
#include "platform/window_system.h"
#include "platform/window_transport.h"

namespace platform {
namespace detail {

void CompleteReply(const std::shared_ptr<ReplyState>& state, LRESULT result, bool handled) {
    std::lock_guard lock(Windows().lock);
    if (state->done) {
        return;
    }
    state->done = true;
    state->handled = handled;
    state->result = result;
    if (auto waiter = state->waiter.lock()) {
        waiter->wake.notify_all();
    }
}

void DispatchSent(std::unique_ptr<SentMessage> message) {
    // A procedure that throws must still release its sender.
    struct AnswerZeroUnlessAnswered {
        SentMessage& message;
        bool answered = false;
        ~AnswerZeroUnlessAnswered() {
            if (!answered) {
                message.onDone(0, false);
            }
        }
    } guard{*message};
    LPARAM lParam = message->lParam;
    COPYDATASTRUCT copyData;
    if (message->hasCopyData) {
        copyData.dwData = message->copyDataKind;
        copyData.cbData = static_cast<DWORD>(message->copyData.size());
        copyData.lpData = message->copyData.empty() ? nullptr : message->copyData.data();
        lParam = reinterpret_cast<LPARAM>(&copyData);
    }
    LRESULT result = CallWindowProcedure(message->hwnd, message->message, message->wParam, lParam);
    guard.answered = true;
    message->onDone(result, true);
}

void QueueSent(std::unique_ptr<SentMessage> message) {
    {
        std::unique_lock lock(Windows().lock);
        WindowRecord* record = Windows().Find(message->hwnd);
        if (record != nullptr && record->owner->alive) {
            if (record->owner->threadId != GetCurrentThreadId()) {
                record->owner->sent.push_back(std::move(message));
                record->owner->wake.notify_all();
                return;
            }
            lock.unlock();
            DispatchSent(std::move(message));
            return;
        }
    }
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    message->onDone(0, false);
}

bool WaitPumpingSent(const std::shared_ptr<ReplyState>& state, Clock::time_point deadline,
                     bool handleSends) {
    auto self = CurrentQueue();
    std::unique_lock lock(Windows().lock);
    state->waiter = self;
    for (;;) {
        if (state->done) {
            return true;
        }
        if (handleSends && !self->sent.empty()) {
            auto message = std::move(self->sent.front());
            self->sent.pop_front();
            lock.unlock();
            DispatchSent(std::move(message));
            lock.lock();
            continue;
        }
        if (deadline == Clock::time_point::max()) {
            self->wake.wait(lock);
        } else if (Clock::now() >= deadline) {
            return false;
        } else {
            self->wake.wait_until(lock, deadline);
        }
    }
}

}  // namespace detail

namespace {

Clock::time_point DeadlineAfter(DWORD ms) {
    return ms == INFINITE ? Clock::time_point::max() : Clock::now() + ScaledDuration(ms);
}

enum class LocalSend { Answered, Failed, TimedOut };

// A send to a window of this process; sets the last error when it fails.
LocalSend SendLocal(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs,
                    bool handleSends, LRESULT* result) {
    if (hwnd == HWND_BROADCAST) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return LocalSend::Failed;
    }
    {
        std::unique_lock lock(detail::Windows().lock);
        detail::WindowRecord* record = detail::Windows().Find(hwnd);
        if (record == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return LocalSend::Failed;
        }
        if (record->owner->threadId == GetCurrentThreadId()) {
            lock.unlock();
            *result = detail::CallWindowProcedure(hwnd, message, wParam, lParam);
            return LocalSend::Answered;
        }
    }
    auto state = std::make_shared<detail::ReplyState>();
    auto sent = std::make_unique<detail::SentMessage>();
    sent->hwnd = hwnd;
    sent->message = message;
    sent->wParam = wParam;
    sent->lParam = lParam;
    // A send that may time out can be handled after the caller's record is
    // gone, so the receiver gets a copy.
    if (message == WM_COPYDATA && timeoutMs != INFINITE && lParam != 0) {
        const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        const auto* bytes = static_cast<const BYTE*>(record->lpData);
        sent->hasCopyData = true;
        sent->copyDataKind = record->dwData;
        if (bytes != nullptr) {
            sent->copyData.assign(bytes, bytes + record->cbData);
        }
    }
    // The state is shared with the receiver, which may answer after the
    // caller stopped waiting.
    sent->onDone = [state](LRESULT answer, bool handled) {
        detail::CompleteReply(state, answer, handled);
    };
    detail::QueueSent(std::move(sent));
    if (!detail::WaitPumpingSent(state, DeadlineAfter(timeoutMs), handleSends)) {
        SetLastError(ERROR_TIMEOUT);
        return LocalSend::TimedOut;
    }
    std::lock_guard lock(detail::Windows().lock);
    *result = state->result;
    if (!state->handled) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return LocalSend::Failed;
    }
    return LocalSend::Answered;
}

}  // namespace

SendReply::SendReply() : m_state(std::make_shared<detail::ReplyState>()) {}

void SendReply::Complete(LRESULT result) const {
    detail::CompleteReply(m_state, result, true);
}

void SendReply::Fail() const {
    detail::CompleteReply(m_state, 0, false);
}

bool SendReply::IsComplete() const {
    std::lock_guard lock(detail::Windows().lock);
    return m_state->done;
}

bool SendReply::Answered() const {
    std::lock_guard lock(detail::Windows().lock);
    return m_state->done && m_state->handled;
}

LRESULT SendReply::Result() const {
    std::lock_guard lock(detail::Windows().lock);
    return m_state->result;
}

bool WaitForReply(const SendReply& reply, DWORD ms, WhileWaiting what) {
    return detail::WaitPumpingSent(reply.m_state, DeadlineAfter(ms),
                                   what == WhileWaiting::HandleSends);
}

namespace {

// Wakes a thread blocked on its queue's condition when a kernel wait it
// registered is satisfied. Taking the window lock to notify means the wake
// cannot fall between the thread's last look at the wait and its sleep.
class QueueWaitNotifier final : public detail::WaitNotifier {
  public:
    explicit QueueWaitNotifier(detail::ThreadQueue& queue) : m_queue(queue) {}
    void Notify() override {
        std::lock_guard lock(detail::Windows().lock);
        m_queue.wake.notify_all();
    }

  private:
    detail::ThreadQueue& m_queue;
};

}  // namespace

DWORD WaitForSingleObjectHandlingSends(HANDLE handle, DWORD ms) {
    const auto deadline = DeadlineAfter(ms);
    auto self = detail::CurrentQueue();
    QueueWaitNotifier notifier(*self);
    for (;;) {
        // The kernel wait is queued only while the thread sleeps, never while
        // a procedure runs: a wait of the procedure's own must not lose the
        // object to this one.
        detail::RegisteredWait wait(1, &handle, false, &notifier);
        if (const DWORD result = wait.Result(); result != WAIT_TIMEOUT) {
            return result;
        }
        std::unique_ptr<detail::SentMessage> message;
        {
            std::unique_lock lock(detail::Windows().lock);
            while (wait.Result() == WAIT_TIMEOUT) {
                if (!self->sent.empty()) {
                    message = std::move(self->sent.front());
                    self->sent.pop_front();
                    break;
                }
                if (deadline == Clock::time_point::max()) {
                    self->wake.wait(lock);
                } else if (Clock::now() >= deadline) {
                    break;
                } else {
                    self->wake.wait_until(lock, deadline);
                }
            }
        }
        // Ended outside the window lock, which comes after the wait lock.
        const DWORD result = wait.End();
        const bool handled = message != nullptr;
        if (handled) {
            detail::DispatchSent(std::move(message));
        }
        if (result != WAIT_TIMEOUT || !handled) {
            return result;
        }
    }
}

LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (IsRemoteWindow(hwnd)) {
        if (WindowTransport* transport = GetWindowTransport()) {
            return transport->SendMessage(hwnd, message, wParam, lParam);
        }
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LRESULT result = 0;
    SendLocal(hwnd, message, wParam, lParam, INFINITE, true, &result);
    return result;
}

LRESULT SendMessageTimeout(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                           UINT timeoutMs, PDWORD_PTR result) {
    LRESULT answer = 0;
    bool answered = false;
    if (IsRemoteWindow(hwnd)) {
        WindowTransport* transport = GetWindowTransport();
        if (transport == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        answered =
            transport->SendMessageTimeout(hwnd, message, wParam, lParam, flags, timeoutMs, &answer);
    } else {
        answered = SendLocal(hwnd, message, wParam, lParam, timeoutMs, (flags & SMTO_BLOCK) == 0,
                             &answer) == LocalSend::Answered;
    }
    if (!answered) {
        return 0;
    }
    if (result != nullptr) {
        *result = static_cast<DWORD_PTR>(answer);
    }
    return TRUE;
}

}  // namespace platform
