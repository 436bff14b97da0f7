// Times synchronous sends to one window for a benchmark and reports their
// p50 and p99 as counters, in microseconds.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/message_queue.h"
#include "platform/window.h"

// The message the benchmarks send, and a window that answers it at once.
inline constexpr platform::UINT kPing = platform::WM_USER + 1;

class EchoWindow : public platform::Window {
  public:
    platform::LRESULT WindowProc(platform::UINT message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override {
        return message == kPing ? static_cast<platform::LRESULT>(wParam + 1)
                                : Window::WindowProc(message, wParam, lParam);
    }
};

inline void MeasureSendRoundTrips(benchmark::State& state, platform::HWND window,
                                  platform::UINT message) {
    std::vector<double> samples;
    samples.reserve(1 << 20);
    platform::WPARAM counter = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        platform::LRESULT result = platform::SendMessage(window, message, counter, 0);
        auto end = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(result);
        ++counter;
        samples.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    std::sort(samples.begin(), samples.end());
    auto percentile = [&](double p) {
        return samples.empty() ? 0.0 : samples[static_cast<std::size_t>(p * (samples.size() - 1))];
    };
    state.counters["p50_us"] = percentile(0.50);
    state.counters["p99_us"] = percentile(0.99);
}
