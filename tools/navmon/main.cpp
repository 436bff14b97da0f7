// dmbtpeg-navmon: the navigation application's stand-in. Holds a window titled
// "Rovan" that prints reception states and file announcements, or sends the
// service one request and exits.
#include <fmt/format.h>
#include <getopt.h>
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

#include "dmbtpeg_version.h"
#include "platform/bus_transport.h"
#include "platform/clock.h"
#include "platform/device_fs.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/service_protocol.h"
#include "platform/text.h"
#include "platform/window.h"
#include "tools/common/json.h"
#include "tools/common/stop_signals.h"

using namespace platform;

namespace navmon {

constexpr char kProgram[] = "dmbtpeg-navmon";
constexpr char kUsage[] =
    "usage: dmbtpeg-navmon [--json] [--title TITLE] [--count N] [--timeout S] "
    "[--request end|status|scan]\n"
    "       dmbtpeg-navmon --help | --version\n";
constexpr char kHelp[] =
    "\n"
    "Holds a window titled TITLE (\"Rovan\") that prints the reception states and\n"
    "file announcements the service sends it, or sends the service one request.\n"
    "\n"
    "  --json             one JSON object per line\n"
    "  --title TITLE      the window's title instead of \"Rovan\"\n"
    "  --count N          end after N announced files\n"
    "  --timeout S        end with status 3 when S seconds pass first\n"
    "  --request REQUEST  send end, status or scan to the service's window, print\n"
    "                     its answer and exit\n"
    "  -h, --help         show this help and exit\n"
    "      --version      show the version and exit\n";
constexpr int kExitTimedOut = 3;

// A request to the service: a fixed message number, or a registered name.
struct Request {
    std::string_view name;
    UINT message;
    const char16_t* registeredName;
    WPARAM wParam;
};

constexpr std::array kRequests{
    Request{"end", WM_NAVAPP_REQUEST, nullptr, kNavAppEnd},
    Request{"status", WM_NAVAPP_REQUEST, nullptr, kNavAppStatus},
    Request{"scan", 0, kScanRequestName, kScanStart},
};

struct Options {
    bool json = false;
    std::u16string title = kNavAppTitle;
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

enum Option { kJson = 256, kTitle, kCount, kTimeout, kRequest, kVersion };

// What the command line asks for: nullopt for a bad one, an exit status in
// `exitNow` after --help or --version.
std::optional<Options> ParseOptions(int argc, char** argv, std::optional<int>& exitNow) {
    static const option kLongOptions[] = {{"json", no_argument, nullptr, kJson},
                                          {"title", required_argument, nullptr, kTitle},
                                          {"count", required_argument, nullptr, kCount},
                                          {"timeout", required_argument, nullptr, kTimeout},
                                          {"request", required_argument, nullptr, kRequest},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    Options options;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1;) {
        const std::string_view value = optarg != nullptr ? optarg : "";
        bool valid = true;
        switch (c) {
            case kJson:
                options.json = true;
                break;
            case kTitle:
                options.title = FromUtf8(value);
                valid = !value.empty();
                break;
            case kCount:
                options.count = ParseCount(value);
                valid = options.count.has_value();
                break;
            case kTimeout:
                options.timeoutSeconds = ParseSeconds(value);
                valid = options.timeoutSeconds.has_value();
                break;
            case kRequest:
                options.request = nullptr;
                for (const Request& request : kRequests) {
                    if (request.name == value) {
                        options.request = &request;
                    }
                }
                valid = options.request != nullptr;
                break;
            case 'h':
                std::printf("%s%s", kUsage, kHelp);
                exitNow = 0;
                return std::nullopt;
            case kVersion:
                std::printf("%s %s\n", kProgram, kDmbTpegVersion);
                exitNow = 0;
                return std::nullopt;
            default:
                valid = false;
                break;
        }
        if (!valid) {
            return std::nullopt;
        }
    }
    if (optind != argc) {
        return std::nullopt;
    }
    return options;
}

int SendRequest(const Options& options) {
    const Request& request = *options.request;
    UINT message = request.message;
    if (request.registeredName != nullptr) {
        message = RegisterWindowMessage(request.registeredName);
    }
    HWND service = FindWindow(nullptr, kMainWindowTitle);
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
    UINT stateMessage = RegisterWindowMessage(kReceptionStateName);
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
    std::optional<int> exitNow;
    auto options = ParseOptions(argc, argv, exitNow);
    if (exitNow) {
        return *exitNow;
    }
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    CheckEnvironment();
    tools::QuitLoopOnStopSignals(GetCurrentThreadId());
    StartBusTransport();
    int exitCode = options->request != nullptr ? SendRequest(*options) : Monitor(*options);
    StopBusTransport();
    return exitCode;
}

}  // namespace navmon

int main(int argc, char** argv) {
    return navmon::Run(argc, argv);
}
