// An in-process stand-in for the navigation application: a top-level window
// titled "Rovan" on a thread of its own that records every message it gets,
// copying the bytes of copy-data records while they are valid.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/types.h"

namespace testsupport {

struct ReceivedMessage {
    platform::UINT message = 0;
    platform::WPARAM wParam = 0;
    platform::LPARAM lParam = 0;
    // WM_COPYDATA only.
    platform::ULONG_PTR kind = 0;
    platform::DWORD byteCount = 0;
    std::u16string path;
};

class NavAppStandIn {
  public:
    explicit NavAppStandIn(const char16_t* title = u"Rovan");
    ~NavAppStandIn();
    NavAppStandIn(const NavAppStandIn&) = delete;
    NavAppStandIn& operator=(const NavAppStandIn&) = delete;

    platform::HWND Hwnd() const { return m_hwnd; }
    std::vector<ReceivedMessage> Messages() const;
    // Runs on the stand-in's thread while it handles each message.
    void OnMessage(std::function<void(const ReceivedMessage&)> hook);

  private:
    void Run(const char16_t* title);

    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<ReceivedMessage> m_messages;
    std::function<void(const ReceivedMessage&)> m_hook;
    platform::HWND m_hwnd = nullptr;
    bool m_started = false;
    std::thread m_thread;
};

}  // namespace testsupport
