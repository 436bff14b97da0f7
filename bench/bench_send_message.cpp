#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/window.h"

using namespace platform;

namespace {

constexpr UINT kPing = WM_USER + 1;

class EchoWindow : public Window {
  public:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        return message == kPing ? static_cast<LRESULT>(wParam + 1)
                                : Window::WindowProc(message, wParam, lParam);
    }
};

// Round trip of a send to a window of another thread that waits in
// GetMessage: queueing, waking the receiver, the call and waking the sender.
void BM_CrossThreadSendMessage(benchmark::State& state) {
    std::promise<std::pair<HWND, DWORD>> started;
    std::thread receiver([&started] {
        EchoWindow window;
        window.Create(nullptr, u"echo", WS_POPUP, 0, 0, 0, 0);
        started.set_value({window.GetHwnd(), GetCurrentThreadId()});
        MSG msg;
        while (GetMessage(&msg, nullptr, 0, 0) > 0) {
            DispatchMessage(&msg);
        }
    });
    auto [hwnd, threadId] = started.get_future().get();

    std::vector<double> samples;
    samples.reserve(1 << 20);
    WPARAM counter = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        LRESULT result = SendMessage(hwnd, kPing, counter, 0);
        auto end = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(result);
        ++counter;
        samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    PostThreadMessage(threadId, WM_QUIT, 0, 0);
    receiver.join();

    std::sort(samples.begin(), samples.end());
    auto percentile = [&](double p) {
        return samples.empty() ? 0.0 : samples[static_cast<std::size_t>(p * (samples.size() - 1))];
    };
    state.counters["p50_us"] = percentile(0.50);
    state.counters["p99_us"] = percentile(0.99);
}
BENCHMARK(BM_CrossThreadSendMessage)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
