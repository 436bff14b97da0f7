#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/private_daemon.h"
#include "bench/send_round_trip.h"
#include "platform/bus_transport.h"
#include "platform/message_queue.h"
#include "platform/window.h"

using namespace platform;

extern char** environ;

namespace {

[[noreturn]] void RunEchoPeer() {
    StartBusTransport();
    EchoWindow window;
    window.Create(nullptr, u"BenchEcho", WS_POPUP, 0, 0, 0, 0);
    MSG msg;
    while (GetMessage(&msg, nullptr, 0, 0) > 0) {
        DispatchMessage(&msg);
    }
    _exit(0);
}

// Round trip of a send to a window of another process waiting in
// GetMessage: our bus thread, the daemon, the peer's bus thread, its window
// thread, and the same way back.
void BM_CrossProcessSendMessage(benchmark::State& state) {
    HWND echo = nullptr;
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((echo = FindWindow(nullptr, u"BenchEcho")) == nullptr &&
           std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (echo == nullptr) {
        state.SkipWithError("the echo process did not appear on the bus");
        return;
    }
    MeasureSendRoundTrips(state, echo, kPing);
}
BENCHMARK(BM_CrossProcessSendMessage)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    bench::PrivateDaemon daemon;
    if (!daemon.Ready()) {
        std::fprintf(stderr, "bench_bus_send: cannot start dbus-daemon\n");
        return 1;
    }
    // The peer is forked before this process starts any thread.
    pid_t peer = fork();
    if (peer == 0) {
        RunEchoPeer();
    }
    int status = 1;
    if (StartBusTransport()) {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        StopBusTransport();
        status = 0;
    }
    kill(peer, SIGKILL);
    waitpid(peer, nullptr, 0);
    return status;
}
