// dmbtpeg-navmon: the navigation application's stand-in. Holds a window titled
// "Rovan" that prints reception states and file announcements, or sends the
// service one request and exits.
#include <fmt/format.h>
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/bus_transport.h"
#include "platform/clock.h"
#include "platform/device_fs.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/text.h"
#include "platform/window.h"
#include "tools/common/json.h"
#include "tools/common/stop_signals.h"

using namespace platform;

namespace navmon {

constexpr char kUsage[] =
    "usage: dmbtpeg-navmon [--json] [--title TITLE] [--count N] [--timeout S] "
    "[--request end|status|scan]\n";
constexpr UINT WM_NAVAPP_REQUEST = 8590;
constexpr char16_t kServiceTitle[] = u"DmbTpeg";
constexpr int kExitTimedOut = 3;

// A request to the service: a fixed message number, or a registered name.
struct Request {
    std::string_view name;
    UINT message;
    const char16_t* registeredName;
    WPARAM wParam;
};

constexpr std::array kRequests{
    Request{"end", WM_NAVAPP_REQUEST, nullptr, 10},
    Request{"status", WM_NAVAPP_REQUEST, nullptr, 11},
    Request{"scan", 0, u"DMBTPEG_CHANNEL_SCAN", 1},
};

struct Options {
    bool json = false;
    std::u16string title = u"Rovan";
    std::optional<unsigned long> count;
    std::optional<double> timeoutSeconds;
    const Request* request = nullptr;
};

void PrintLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::optional<unsigned long> ParseCount(std::string_view text) {
    char* end = nullptr;
    std::string copy(text);
    unsigned long value = std::strtoul(copy.c_str(), &end, 10);
    if (copy.empty() || *end != '\0' || copy[0] == '-' || value == 0) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParseSeconds(std::string_view text) {
    char* end = nullptr;
    std::string copy(text);
    double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || *end != '\0' || !(value > 0.0)) {
        return std::nullopt;
    }
    return value;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--json") {
            options.json = true;
            continue;
        }
        if (i + 1 >= argc) {
            return std::nullopt;
        }
        std::string_view value = argv[++i];
        bool valid = false;
        if (arg == "--title") {
            options.title = FromUtf8(value);
            valid = !value.empty();
        } else if (arg == "--count") {
            options.count = ParseCount(value);
            valid = options.count.has_value();
        } else if (arg == "--timeout") {
            options.timeoutSeconds = ParseSeconds(value);
            valid = options.timeoutSeconds.has_value();
        } else if (arg == "--request") {
            for (const Request& request : kRequests) {
                if (request.name == value) {
                    options.request = &request;
                }
            }
            valid = options.request != nullptr;
        }
        if (!valid) {
            return std::nullopt;
        }
    }
    return options;
}

int SendRequest(const Options& options) {
    const Request& request = *options.request;
    UINT message = request.message;
    if (request.registeredName != nullptr) {
        message = RegisterWindowMessage(request.registeredName);
    }
    HWND service = FindWindow(nullptr, kServiceTitle);
    if (service == nullptr) {
        std::fprintf(stderr,
                     "dmbtpeg-navmon: no window titled \"DmbTpeg\" to send the %s request to\n",
                     std::string(request.name).c_str());
        return 1;
    }
    LRESULT result = SendMessage(service, message, request.wParam, 0);
    PrintLine(options.json ? fmt::format(R"({{"event":"reply","request":"{}","result":{}}})",
                                         request.name, result)
                           : fmt::format("{} -> {}", request.name, result));
    return 0;
}

// The announced path is UTF-16 without (or with) a terminating zero.
std::u16string AnnouncedPath(const COPYDATASTRUCT& record) {
    std::u16string path;
    const auto* bytes = static_cast<const BYTE*>(record.lpData);
    for (DWORD i = 0; i + 1 < record.cbData; i += 2) {
        auto unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (unit == u'\0') {
            break;
        }
        path += unit;
    }
    return path;
}

std::optional<long long> FileSize(std::u16string_view devicePath) {
    auto hostPath = MapDevicePath(devicePath);
    struct stat info {};
    if (!hostPath || ::stat(hostPath->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    return static_cast<long long>(info.st_size);
}

class MonitorWindow : public Window {
  public:
    MonitorWindow(const Options& options, UINT stateMessage)
        : m_options(options), m_stateMessage(stateMessage) {}

    // Messages of the window's own creation and destruction are not news.
    void StartPrinting(bool on) { m_printing = on; }

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (!m_printing) {
            return Window::WindowProc(message, wParam, lParam);
        }
        if (message == WM_COPYDATA) {
            PrintFile(*reinterpret_cast<const COPYDATASTRUCT*>(lParam));
            if (m_options.count && ++m_files >= *m_options.count) {
                PostQuitMessage(0);
            }
            return TRUE;
        }
        if (message == m_stateMessage) {
            PrintLine(m_options.json ? fmt::format(R"({{"event":"state","state":{}}})", wParam)
                                     : fmt::format("state {}", wParam));
            return TRUE;
        }
        PrintLine(
            m_options.json
                ? fmt::format(R"({{"event":"message","msg":{},"wparam":{},"lparam":{}}})", message,
                              wParam, lParam)
                : fmt::format("message 0x{:04X} wparam={} lparam={}", message, wParam, lParam));
        return Window::WindowProc(message, wParam, lParam);
    }

  private:
    void PrintFile(const COPYDATASTRUCT& record) const {
        std::u16string path = AnnouncedPath(record);
        auto size = FileSize(path);
        std::string utf8 = ToUtf8(path);
        if (m_options.json) {
            PrintLine(fmt::format(R"({{"event":"file","kind":{},"path":{},"bytes":{},"size":{}}})",
                                  record.dwData, tools::JsonString(utf8), record.cbData,
                                  size ? std::to_string(*size) : "null"));
        } else {
            PrintLine(fmt::format("file kind={} path={} bytes={} size={}", record.dwData, utf8,
                                  record.cbData, size ? std::to_string(*size) : "-"));
        }
    }

    const Options& m_options;
    UINT m_stateMessage;
    bool m_printing = false;
    unsigned long m_files = 0;
};

// Ends the loop with exit code 3 when `seconds` of real time pass first.
class Deadline {
  public:
    Deadline(std::optional<double> seconds, DWORD loopThreadId) {
        if (!seconds) {
            return;
        }
        m_thread = std::thread([this, limit = *seconds, loopThreadId] {
            std::unique_lock lock(m_mutex);
            if (!m_wake.wait_for(lock, std::chrono::duration<double>(limit),
                                 [this] { return m_done; })) {
                PostThreadMessage(loopThreadId, WM_QUIT, kExitTimedOut, 0);
            }
        });
    }
    ~Deadline() {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

int Monitor(const Options& options) {
    UINT stateMessage = RegisterWindowMessage(u"WM_DMBANTLV");
    MonitorWindow window(options, stateMessage);
    if (window.Create(u"DmbTpegNavMon", options.title.c_str(), WS_POPUP, 0, 0, 0, 0) == nullptr) {
        std::fprintf(stderr, "dmbtpeg-navmon: cannot create the window\n");
        return 1;
    }
    window.StartPrinting(true);
    int exitCode = 0;
    {
        Deadline deadline(options.timeoutSeconds, GetCurrentThreadId());
        MSG msg;
        while (GetMessage(&msg, nullptr, 0, 0) > 0) {
            DispatchMessage(&msg);
        }
        exitCode = static_cast<int>(msg.wParam);
    }
    window.StartPrinting(false);
    DestroyWindow(window.GetHwnd());
    return exitCode;
}

int Run(int argc, char** argv) {
    auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    tools::QuitLoopOnStopSignals(GetCurrentThreadId());
    StartBusTransport();
    int exitCode = options->request != nullptr ? SendRequest(*options) : Monitor(*options);
    StopBusTransport();
    return exitCode;
}

}  // namespace navmon

int main(int argc, char** argv) {
    CheckEnvironment();
    return navmon::Run(argc, argv);
}
