// A second process for the bus tests.
//   bus_peer window TITLE [BACK]   holds a top-level window titled TITLE; prints "ready",
//                                  then one line per message it is given (see PeerWindow)
//   bus_peer register NAME...      prints the registered number of each name, one a line
//   bus_peer register-file PATH    the same for the names in PATH, one a line
//   bus_peer local                 without a bus: checks its own windows still work
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/bus_transport.h"
#include "platform/clock.h"
#include "platform/message_queue.h"
#include "platform/text.h"
#include "platform/window.h"

using namespace platform;

namespace {

constexpr UINT kAskBack = WM_USER + 1;
constexpr UINT kHang = WM_USER + 2;
constexpr UINT kEcho = WM_USER + 3;
constexpr UINT kRebroadcast = WM_USER + 4;

void PrintLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// kAskBack sends kEcho to the window titled BACK and answers its result times
// ten; kHang never returns; kEcho answers wParam + 1; kRebroadcast broadcasts
// wParam. WM_COPYDATA answers a checksum of the bytes. Every message at or
// above WM_USER is printed as "got <number> <wParam>".
class PeerWindow : public Window {
  public:
    explicit PeerWindow(std::u16string back) : m_back(std::move(back)) {}

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_COPYDATA) {
            const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            const auto* bytes = static_cast<const BYTE*>(record->lpData);
            LRESULT sum = 0;
            for (DWORD i = 0; i < record->cbData; ++i) {
                sum = (sum * 31 + bytes[i]) % 1000000007;
            }
            PrintLine("copydata " + std::to_string(record->dwData) + " " +
                      std::to_string(record->cbData));
            return sum;
        }
        if (message >= WM_USER) {
            PrintLine("got " + std::to_string(message) + " " + std::to_string(wParam));
        }
        switch (message) {
            case kAskBack: {
                HWND back = FindWindow(nullptr, m_back.c_str());
                return back != nullptr ? SendMessage(back, kEcho, wParam, 0) * 10 : -1;
            }
            case kHang:
                for (;;) {
                    ::pause();
                }
            case kEcho:
                return static_cast<LRESULT>(wParam + 1);
            case kRebroadcast:
                PostMessage(HWND_BROADCAST, static_cast<UINT>(wParam), 0, 0);
                return 1;
            default:
                return Window::WindowProc(message, wParam, lParam);
        }
    }

  private:
    std::u16string m_back;
};

int HoldWindow(const std::string& title, const std::string& back) {
    StartBusTransport();
    PeerWindow window(FromUtf8(back));
    auto wideTitle = FromUtf8(title);
    if (window.Create(u"Peer", wideTitle.c_str(), WS_POPUP, 0, 0, 0, 0) == nullptr) {
        return 1;
    }
    PrintLine("ready");
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0) > 0) {
        DispatchMessage(&msg);
    }
    return 0;
}

int RegisterNames(const std::vector<std::string>& names) {
    StartBusTransport();
    for (const std::string& name : names) {
        auto wide = FromUtf8(name);
        PrintLine(std::to_string(RegisterWindowMessage(wide.c_str())));
    }
    StopBusTransport();
    return 0;
}

int CheckLocalWindows() {
    bool connected = StartBusTransport();
    PeerWindow window(u"");
    window.Create(u"Peer", u"Local", WS_POPUP, 0, 0, 0, 0);
    HWND found = FindWindow(nullptr, u"Local");
    std::atomic<LRESULT> answer{0};
    std::thread other([&] { answer = SendMessage(found, kEcho, 41, 0); });
    MSG msg;
    while (answer == 0) {
        PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    other.join();
    PrintLine(std::string(connected ? "connected" : "alone") + " " +
              (found == window.GetHwnd() ? "found" : "lost") + " " + std::to_string(answer.load()));
    StopBusTransport();
    StopBusTransport();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CheckEnvironment();
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "window" && (argc == 3 || argc == 4)) {
        return HoldWindow(argv[2], argc == 4 ? argv[3] : "");
    }
    if (mode == "register" && argc > 2) {
        return RegisterNames(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (mode == "register-file" && argc == 3) {
        std::ifstream in(argv[2]);
        std::vector<std::string> names;
        for (std::string name; std::getline(in, name);) {
            names.push_back(name);
        }
        return RegisterNames(names);
    }
    if (mode == "local") {
        return CheckLocalWindows();
    }
    std::fprintf(
        stderr,
        "usage: bus_peer window TITLE [BACK] | register NAME... | register-file PATH | local\n");
    return 2;
}
