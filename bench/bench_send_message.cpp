#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "bench/send_round_trip.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/window.h"

using namespace platform;

namespace {

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

    MeasureSendRoundTrips(state, hwnd, kPing);
    PostThreadMessage(threadId, WM_QUIT, 0, 0);
    receiver.join();
}
BENCHMARK(BM_CrossThreadSendMessage)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
