#include <chrono>

#include "platform/clock.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/window_system.h"
#include "platform/window_transport.h"

namespace platform {
namespace detail {

void CompleteReply(const std::shared_ptr<ReplyState>& state, LRESULT result) {
    std::lock_guard lock(Windows().lock);
    if (state->done) {
        return;
    }
    state->done = true;
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
                message.onDone(0);
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
    message->onDone(result);
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
    message->onDone(0);
}

bool WaitPumpingSent(const std::shared_ptr<ReplyState>& state, Clock::time_point deadline) {
    auto self = CurrentQueue();
    std::unique_lock lock(Windows().lock);
    state->waiter = self;
    for (;;) {
        if (state->done) {
            return true;
        }
        if (!self->sent.empty()) {
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

SendReply::SendReply() : m_state(std::make_shared<detail::ReplyState>()) {}

void SendReply::Complete(LRESULT result) const {
    detail::CompleteReply(m_state, result);
}

bool SendReply::IsComplete() const {
    std::lock_guard lock(detail::Windows().lock);
    return m_state->done;
}

LRESULT SendReply::Result() const {
    std::lock_guard lock(detail::Windows().lock);
    return m_state->result;
}

bool WaitForReply(const SendReply& reply, DWORD ms) {
    auto deadline = ms == INFINITE ? Clock::time_point::max() : Clock::now() + ScaledDuration(ms);
    return detail::WaitPumpingSent(reply.m_state, deadline);
}

DWORD WaitForSingleObjectHandlingSends(HANDLE handle, DWORD ms) {
    // Kernel objects and the message queue have separate wake-ups; a short
    // look at the handle between waits for sends joins the two.
    constexpr auto kLook = std::chrono::milliseconds(5);
    const auto deadline =
        ms == INFINITE ? Clock::time_point::max() : Clock::now() + ScaledDuration(ms);
    auto self = detail::CurrentQueue();
    for (;;) {
        const DWORD result = WaitForSingleObject(handle, 0);
        if (result != WAIT_TIMEOUT) {
            return result;
        }
        std::unique_lock lock(detail::Windows().lock);
        if (!self->sent.empty()) {
            auto message = std::move(self->sent.front());
            self->sent.pop_front();
            lock.unlock();
            detail::DispatchSent(std::move(message));
            continue;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return WAIT_TIMEOUT;
        }
        self->wake.wait_until(lock, deadline - now < kLook ? deadline : now + kLook);
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
    if (hwnd == HWND_BROADCAST) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    {
        std::unique_lock lock(detail::Windows().lock);
        detail::WindowRecord* record = detail::Windows().Find(hwnd);
        if (record == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (record->owner->threadId == GetCurrentThreadId()) {
            lock.unlock();
            return detail::CallWindowProcedure(hwnd, message, wParam, lParam);
        }
    }
    auto state = std::make_shared<detail::ReplyState>();
    auto sent = std::make_unique<detail::SentMessage>();
    sent->hwnd = hwnd;
    sent->message = message;
    sent->wParam = wParam;
    sent->lParam = lParam;
    sent->onDone = [state](LRESULT result) { detail::CompleteReply(state, result); };
    detail::QueueSent(std::move(sent));
    detail::WaitPumpingSent(state, Clock::time_point::max());
    std::lock_guard lock(detail::Windows().lock);
    return state->result;
}

}  // namespace platform
