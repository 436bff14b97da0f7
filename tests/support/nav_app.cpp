#include "tests/support/nav_app.h"

#include "platform/message_queue.h"
#include "platform/window.h"
#include "platform/window_messages.h"

using namespace platform;

namespace testsupport {
namespace {

constexpr UINT kStop = WM_USER + 0x3F0;

class RecordingWindow : public Window {
  public:
    explicit RecordingWindow(std::function<void(const ReceivedMessage&)> record)
        : m_record(std::move(record)) {}

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == kStop) {
            DestroyWindow(GetHwnd());
            PostQuitMessage(0);
            return 0;
        }
        if (message == WM_USER || message == WM_COPYDATA || message >= kFirstRegisteredMessage) {
            ReceivedMessage m;
            m.message = message;
            m.wParam = wParam;
            m.lParam = lParam;
            if (message == WM_COPYDATA) {
                const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
                m.kind = record->dwData;
                m.byteCount = record->cbData;
                m.path.assign(static_cast<const char16_t*>(record->lpData), record->cbData / 2);
            }
            m_record(m);
            return 1;
        }
        return Window::WindowProc(message, wParam, lParam);
    }

  private:
    std::function<void(const ReceivedMessage&)> m_record;
};

}  // namespace

NavAppStandIn::NavAppStandIn(const char16_t* title) {
    m_thread = std::thread([this, title] { Run(title); });
    std::unique_lock lock(m_mutex);
    m_ready.wait(lock, [this] { return m_started; });
}

NavAppStandIn::~NavAppStandIn() {
    if (m_hwnd != nullptr) {
        PostMessage(m_hwnd, kStop, 0, 0);
    }
    m_thread.join();
}

void NavAppStandIn::Run(const char16_t* title) {
    RecordingWindow window([this](const ReceivedMessage& m) {
        std::function<void(const ReceivedMessage&)> hook;
        {
            std::lock_guard lock(m_mutex);
            m_messages.push_back(m);
            hook = m_hook;
        }
        if (hook) {
            hook(m);
        }
    });
    HWND hwnd = window.Create(nullptr, title, 0, 0, 0, 0, 0);
    {
        std::lock_guard lock(m_mutex);
        m_hwnd = hwnd;
        m_started = true;
    }
    m_ready.notify_all();
    MSG msg;
    while (hwnd != nullptr && GetMessage(&msg, nullptr, 0, 0) > 0) {
        DispatchMessage(&msg);
    }
}

std::vector<ReceivedMessage> NavAppStandIn::Messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

void NavAppStandIn::OnMessage(std::function<void(const ReceivedMessage&)> hook) {
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

}  // namespace testsupport
