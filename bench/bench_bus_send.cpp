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

#include "platform/bus_transport.h"
#include "platform/message_queue.h"
#include "platform/window.h"
#include "bench/send_round_trip.h"

using namespace platform;

extern char** environ;

namespace {

constexpr UINT kPing = WM_USER + 1;

class EchoWindow : public Window {
  public:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        return message == kPing ? static_cast<LRESULT>(wParam + 1)
                                : Window::WindowProc(message, wParam, lParam);
    }
};

// A dbus-daemon of our own, so the figures never depend on (or disturb) the
// desktop's bus.
class PrivateDaemon {
  public:
    PrivateDaemon() {
        char folder[] = "/tmp/dmbtpeg-bench-XXXXXX";
        m_folder = mkdtemp(folder);
        std::ofstream(m_folder + "/bus.conf")
            << "<busconfig><type>session</type><listen>unix:path=" << m_folder
            << "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
               "</policy></busconfig>\n";
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string config = "--config-file=" + m_folder + "/bus.conf";
        std::vector<char*> argv{const_cast<char*>("dbus-daemon"), config.data(),
                                const_cast<char*>("--nofork"),
                                const_cast<char*>("--print-address=1"), nullptr};
        posix_spawnp(&m_pid, "dbus-daemon", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n') {
            m_address += c;
        }
        close(out[0]);
        setenv("DBUS_SESSION_BUS_ADDRESS", m_address.c_str(), 1);
        setenv("DMBTPEG_BUS", "session", 1);
    }
    ~PrivateDaemon() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        std::remove((m_folder + "/bus.conf").c_str());
        std::remove((m_folder + "/bus").c_str());
        rmdir(m_folder.c_str());
    }
    bool Ready() const { return !m_address.empty(); }

  private:
    std::string m_folder;
    std::string m_address;
    pid_t m_pid = -1;
};

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
    PrivateDaemon daemon;
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
