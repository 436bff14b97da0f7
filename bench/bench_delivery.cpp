// Delivery of a decoder event: from the service's event callback (OnDecoderEvent, called
// on the thread the TPEG library calls it from) to the navigation application's copy-data
// handler being entered, and to the acknowledgement reaching the library (TTBEventComplete).
// The path measured is the service's own: the synchronous send to the main window,
// OnTpegEvent, the look-up of the navigation application's window, the copy-data send and
// the acknowledgement. The decoder libraries are replaced by a table that answers the data
// folder and notes the time of the acknowledgement.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <future>
#include <new>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/private_daemon.h"
#include "platform/bus_transport.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/window.h"
#include "platform/window_messages.h"
#include "tpeg/decoder_library.h"
#include "tpeg/tpeg_events.h"

using namespace platform;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kCttEvent = 6124;  // TPCTTL3.BIN, kind 0

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Written by the navigation window's copy-data handler: in shared memory, so that a
// navigation application in another process reports into it as well (the monotonic clock
// is the same for every process).
struct Stamps {
    std::atomic<std::int64_t> entered{0};
    std::atomic<std::uint64_t> copies{0};
};
Stamps* gStamps = nullptr;

std::atomic<std::int64_t> gAcknowledged{0};

// The decoder libraries as the event path uses them: the data folder, and the
// acknowledgement.
DecoderLibrary FakeLibrary() {
    DecoderLibrary table{};
    table.InitTDC = [](const std::uint32_t*) -> std::int32_t { return 0; };
    table.GetTpegQueue = []() -> std::uintptr_t { return 0; };
    table.GetTDCState = []() -> std::int32_t { return 0; };
    table.StartTDCDecode = []() -> std::int32_t { return 0; };
    table.StopTDCDecode = []() -> std::int32_t { return 0; };
    table.FillMSCData = [](std::uintptr_t, std::uintptr_t, std::uintptr_t,
                           std::uintptr_t) -> std::intptr_t { return 0; };
    table.UninitTDC = []() -> std::int32_t { return 0; };
    table.InitTpegLibrary = [](std::uintptr_t) -> std::int32_t { return -1; };
    table.RegisterEventHandler = [](TpegEventCallback) -> std::int32_t { return -1; };
    table.SetLogLevel = [](std::int32_t) -> std::int32_t { return -1; };
    table.GetTSP = []() -> std::int32_t { return 0; };
    table.SetTSP = [](std::int32_t) -> std::int32_t { return -1; };
    table.SetTransferDataPath = [](const char16_t*) -> std::int32_t { return -1; };
    table.SetSelectParser = [](std::uint32_t) -> std::int32_t { return -1; };
    table.SetPoiOpsFlag = [](std::int32_t) -> std::int32_t { return -1; };
    table.SetTDCQueue = [](std::uintptr_t) -> std::int32_t { return -1; };
    table.StartTpegDecoder = []() -> std::int32_t { return -1; };
    table.StopTpegDecoder = []() -> std::int32_t { return -1; };
    table.GetTransferDataPath = []() -> const char16_t* { return u"\\TPEGDATA"; };
    table.TTBEventComplete = [](std::uintptr_t, std::uint32_t) -> std::int32_t {
        gAcknowledged.store(NowNs(), std::memory_order_relaxed);
        return 0;
    };
    table.UninitTpegLibrary = []() -> std::int32_t { return 0; };
    return table;
}

// The service's main window as far as decoder events go.
class ServiceWindow : public Window {
  public:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        return message == WM_TPEG_EVENT ? OnTpegEvent(wParam, lParam)
                                        : Window::WindowProc(message, wParam, lParam);
    }
};

// The navigation application's window: notes when its copy-data handler is entered.
class NavWindow : public Window {
  public:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_COPYDATA) {
            gStamps->entered.store(NowNs(), std::memory_order_release);
            gStamps->copies.fetch_add(1, std::memory_order_release);
            const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            return record != nullptr && record->cbData > 0 ? 1 : 0;
        }
        return Window::WindowProc(message, wParam, lParam);
    }
};

// A window on a thread of its own, waiting in GetMessage.
template <typename W>
class WindowThread {
  public:
    explicit WindowThread(const char16_t* title) {
        std::promise<std::pair<HWND, DWORD>> started;
        m_thread = std::thread([&started, title] {
            W window;
            window.Create(nullptr, title, WS_POPUP, 0, 0, 0, 0);
            started.set_value({window.GetHwnd(), GetCurrentThreadId()});
            MSG msg;
            while (GetMessage(&msg, nullptr, 0, 0) > 0) {
                DispatchMessage(&msg);
            }
            DestroyWindow(window.GetHwnd());
        });
        std::tie(m_hwnd, m_threadId) = started.get_future().get();
    }
    ~WindowThread() {
        PostThreadMessage(m_threadId, WM_QUIT, 0, 0);
        m_thread.join();
    }
    HWND Hwnd() const { return m_hwnd; }

  private:
    std::thread m_thread;
    HWND m_hwnd = nullptr;
    DWORD m_threadId = 0;
};

double Percentile(std::vector<double>& samples, double p) {
    if (samples.empty()) {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1))];
}

// Raises one event per iteration as the TPEG library's thread would and takes both times.
void MeasureDeliveries(benchmark::State& state, HWND service) {
    std::vector<double> entered;
    std::vector<double> acknowledged;
    entered.reserve(1 << 20);
    acknowledged.reserve(1 << 20);
    std::uintptr_t parameter = 0;
    for (auto _ : state) {
        const std::uint64_t copies = gStamps->copies.load(std::memory_order_acquire);
        const std::int64_t start = NowNs();
        OnDecoderEvent(reinterpret_cast<std::uintptr_t>(service), kCttEvent, ++parameter);
        const std::int64_t acked = gAcknowledged.load(std::memory_order_relaxed);
        if (gStamps->copies.load(std::memory_order_acquire) != copies + 1) {
            state.SkipWithError("the navigation application did not receive the file");
            break;
        }
        const std::int64_t in = gStamps->entered.load(std::memory_order_acquire);
        entered.push_back(static_cast<double>(in - start) / 1000.0);
        acknowledged.push_back(static_cast<double>(acked - start) / 1000.0);
        state.SetIterationTime(static_cast<double>(acked - start) / 1e9);
    }
    state.counters["entered_p50_us"] = Percentile(entered, 0.50);
    state.counters["entered_p99_us"] = Percentile(entered, 0.99);
    state.counters["ack_p50_us"] = Percentile(acknowledged, 0.50);
    state.counters["ack_p99_us"] = Percentile(acknowledged, 0.99);
}

// Service window and navigation window in this process, each on its own thread.
void BM_DeliveryInProcess(benchmark::State& state) {
    WindowThread<ServiceWindow> service(u"dmbtpegd");
    WindowThread<NavWindow> nav(kNavAppTitle);
    MeasureDeliveries(state, service.Hwnd());
}
BENCHMARK(BM_DeliveryInProcess)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The navigation window in another process, over the bus.
void BM_DeliveryAcrossProcesses(benchmark::State& state) {
    const auto giveUp = Clock::now() + std::chrono::seconds(20);
    while (FindWindow(nullptr, kNavAppTitle) == nullptr && Clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (FindWindow(nullptr, kNavAppTitle) == nullptr) {
        state.SkipWithError("the navigation process did not appear on the bus");
        return;
    }
    WindowThread<ServiceWindow> service(u"dmbtpegd");
    MeasureDeliveries(state, service.Hwnd());
}
BENCHMARK(BM_DeliveryAcrossProcesses)->UseManualTime()->Unit(benchmark::kMicrosecond);

[[noreturn]] void RunNavigationPeer(int ready) {
    StartBusTransport();
    NavWindow window;
    window.Create(nullptr, kNavAppTitle, WS_POPUP, 0, 0, 0, 0);
    // Tell the parent the window exists, then wait for its first message.
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(ready, &byte, 1);
    close(ready);
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0) > 0) {
        DispatchMessage(&msg);
    }
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    // The service logs every delivery; the cost of the write stays, the lines go nowhere.
    setenv("DMBTPEG_LOG", "/dev/null", 0);
    bench::PrivateDaemon daemon;
    if (!daemon.Ready()) {
        std::fprintf(stderr, "bench_delivery: cannot start dbus-daemon\n");
        return 1;
    }
    void* shared =
        mmap(nullptr, sizeof(Stamps), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        return 1;
    }
    gStamps = new (shared) Stamps;
    int ready[2];
    if (pipe(ready) != 0) {
        return 1;
    }
    // The peer is forked before this process starts any thread. While the in-process
    // benchmark runs, its own navigation window is the one found: local windows come before
    // the bus.
    pid_t peer = fork();
    if (peer == 0) {
        close(ready[0]);
        RunNavigationPeer(ready[1]);
    }
    close(ready[1]);
    const DecoderLibrary library = FakeLibrary();
    SetDecoderLibrary(&library);
    int status = 1;
    if (StartBusTransport()) {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = read(ready[0], &byte, 1);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        StopBusTransport();
        status = 0;
    }
    close(ready[0]);
    SetDecoderLibrary(nullptr);
    kill(peer, SIGKILL);
    waitpid(peer, nullptr, 0);
    return status;
}
