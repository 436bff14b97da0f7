#include "tests/support/message_thread.h"

#include <future>

#include "platform/kernel.h"

using namespace platform;

namespace testsupport {
namespace {

constexpr UINT kRunWork = WM_USER + 0x3F0;

class ControlWindow : public Window {
  public:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == kRunWork) {
            (*reinterpret_cast<const std::function<void()>*>(wParam))();
            return 0;
        }
        return Window::WindowProc(message, wParam, lParam);
    }
};

}  // namespace

HWND RecordingWindow::CreateTopLevel(const char16_t* title) {
    return Create(u"Test", title, WS_POPUP | WS_VISIBLE, 0, 0, 10, 10);
}

std::vector<UINT> RecordingWindow::Messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::vector<UINT> RecordingWindow::UserMessages() const {
    std::vector<UINT> result;
    for (UINT message : Messages()) {
        if (message >= WM_USER) {
            result.push_back(message);
        }
    }
    return result;
}

LRESULT RecordingWindow::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(message);
    }
    if (m_handler) {
        if (auto result = m_handler(message, wParam, lParam)) {
            return *result;
        }
    }
    return Window::WindowProc(message, wParam, lParam);
}

MessageThread::MessageThread() {
    std::promise<std::pair<HWND, DWORD>> started;
    m_thread = std::thread([&started] {
        ControlWindow control;
        control.Create(nullptr, nullptr, WS_POPUP, 0, 0, 0, 0);
        started.set_value({control.GetHwnd(), GetCurrentThreadId()});
        MSG msg;
        while (GetMessage(&msg, nullptr, 0, 0) > 0) {
            DispatchMessage(&msg);
        }
        DestroyWindow(control.GetHwnd());
    });
    std::tie(m_control, m_threadId) = started.get_future().get();
}

MessageThread::~MessageThread() {
    Stop();
}

void MessageThread::Run(const std::function<void()>& work) {
    SendMessage(m_control, kRunWork, reinterpret_cast<WPARAM>(&work), 0);
}

void MessageThread::Stop() {
    if (m_thread.joinable()) {
        PostThreadMessage(m_threadId, WM_QUIT, 0, 0);
        m_thread.join();
    }
}

}  // namespace testsupport
