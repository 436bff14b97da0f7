// Windows and message loops for tests: a window that records what reaches its
// procedure, and a thread that owns windows and pumps its queue.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/message_queue.h"
#include "platform/window.h"

namespace testsupport {

class RecordingWindow : public platform::Window {
  public:
    // Decides the result of a message; nullopt leaves it to the default.
    using Handler = std::function<std::optional<platform::LRESULT>(platform::UINT, platform::WPARAM,
                                                                   platform::LPARAM)>;
    explicit RecordingWindow(Handler handler = {}) : m_handler(std::move(handler)) {}

    // A visible top-level window of class "Test" on the calling thread.
    platform::HWND CreateTopLevel(const char16_t* title);
    std::vector<platform::UINT> Messages() const;
    // Messages at or above WM_USER, ignoring the window's own life cycle.
    std::vector<platform::UINT> UserMessages() const;

    platform::LRESULT WindowProc(platform::UINT message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override;

  private:
    Handler m_handler;
    mutable std::mutex m_mutex;
    std::vector<platform::UINT> m_messages;
};

// A thread running GetMessage/DispatchMessage until WM_QUIT or destruction.
class MessageThread {
  public:
    MessageThread();
    ~MessageThread();
    MessageThread(const MessageThread&) = delete;
    MessageThread& operator=(const MessageThread&) = delete;

    // Runs `work` on the thread (as a sent message) and waits for it.
    void Run(const std::function<void()>& work);
    platform::DWORD ThreadId() const { return m_threadId; }
    // Ends the loop and joins the thread; its windows are destroyed.
    void Stop();

  private:
    std::thread m_thread;
    platform::HWND m_control = nullptr;
    platform::DWORD m_threadId = 0;
};

}  // namespace testsupport
