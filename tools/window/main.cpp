// dmbtpeg-window TITLE [--json]: holds a top-level window titled TITLE until
// SIGINT or SIGTERM and prints every message it receives, one line each.
#include <fmt/format.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/bus_transport.h"
#include "platform/clock.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/text.h"
#include "platform/window.h"
#include "tools/common/json.h"
#include "tools/common/known_messages.h"
#include "tools/common/stop_signals.h"

using namespace platform;

namespace holder {

constexpr char kUsage[] = "usage: dmbtpeg-window TITLE [--json]\n";

void PrintLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

class PrintingWindow : public Window {
  public:
    explicit PrintingWindow(bool json) : m_json(json) {}

    // Messages of the window's own creation and destruction are not news.
    void StartPrinting(bool on) { m_printing = on; }

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (m_printing) {
            Print(message, wParam, lParam);
        }
        if (message == WM_COPYDATA) {
            return TRUE;
        }
        return Window::WindowProc(message, wParam, lParam);
    }

  private:
    void Print(UINT message, WPARAM wParam, LPARAM lParam) const {
        if (message == WM_COPYDATA) {
            const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            PrintLine(
                m_json ? fmt::format(R"({{"event":"copydata","kind":{},"bytes":{}}})",
                                     record->dwData, record->cbData)
                       : fmt::format("copydata kind={} bytes={}", record->dwData, record->cbData));
            return;
        }
        std::string name = tools::KnownMessageName(message);
        if (m_json) {
            PrintLine(fmt::format(
                R"({{"event":"message","msg":{},"name":{},"wparam":{},"lparam":{}}})", message,
                name.empty() ? "null" : tools::JsonString(name), wParam, lParam));
        } else {
            PrintLine(fmt::format("message 0x{:04X}{}{} wparam={} lparam={}", message,
                                  name.empty() ? "" : " ", name, wParam, lParam));
        }
    }

    bool m_json;
    bool m_printing = false;
};

int Run(int argc, char** argv) {
    std::string title;
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (title.empty() && !arg.empty() && !arg.starts_with("--")) {
            title = arg;
        } else {
            title.clear();
            break;
        }
    }
    if (title.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    tools::QuitLoopOnStopSignals(GetCurrentThreadId());
    StartBusTransport();
    tools::KnownMessageName(0);
    PrintingWindow window(json);
    auto wideTitle = FromUtf8(title);
    if (window.Create(u"DmbTpegWindow", wideTitle.c_str(), WS_POPUP, 0, 0, 0, 0) == nullptr) {
        std::fprintf(stderr, "dmbtpeg-window: cannot create the window\n");
        StopBusTransport();
        return 1;
    }
    window.StartPrinting(true);
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0) > 0) {
        DispatchMessage(&msg);
    }
    window.StartPrinting(false);
    DestroyWindow(window.GetHwnd());
    StopBusTransport();
    return 0;
}

}  // namespace holder

int main(int argc, char** argv) {
    CheckEnvironment();
    return holder::Run(argc, argv);
}
