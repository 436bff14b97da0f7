// dmbtpeg-window [--json] [--] TITLE: holds a top-level window titled TITLE
// until SIGINT or SIGTERM and prints every message it receives, one line each.
#include <fmt/format.h>
#include <getopt.h>

#include <cstdio>
#include <string>

#include "dmbtpeg_version.h"
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

constexpr char kProgram[] = "dmbtpeg-window";
constexpr char kUsage[] =
    "usage: dmbtpeg-window [--json] [--] TITLE\n"
    "       dmbtpeg-window --help | --version\n";
constexpr char kHelp[] =
    "\n"
    "Holds a top-level window titled TITLE until SIGINT or SIGTERM and prints\n"
    "every message it receives, one line each. A TITLE that starts with '-'\n"
    "follows \"--\".\n"
    "\n"
    "  --json         one JSON object per line\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n";

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
    enum { kJson = 256, kVersion };
    static const option kLongOptions[] = {{"json", no_argument, nullptr, kJson},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    bool json = false;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1;) {
        if (c == kJson) {
            json = true;
        } else if (c == 'h') {
            std::printf("%s%s", kUsage, kHelp);
            return 0;
        } else if (c == kVersion) {
            std::printf("%s %s\n", kProgram, kDmbTpegVersion);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    // The options may also follow the title; what is left is the title alone.
    if (argc - optind != 1 || argv[optind][0] == '\0') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string title = argv[optind];
    CheckEnvironment();
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
    return holder::Run(argc, argv);
}
