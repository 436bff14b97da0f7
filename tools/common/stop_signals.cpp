#include "tools/common/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

#include "platform/message_queue.h"

namespace tools {

void QuitLoopOnStopSignals(platform::DWORD loopThreadId) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread([stops, loopThreadId] {
        int received = 0;
        sigwait(&stops, &received);
        platform::PostThreadMessage(loopThreadId, platform::WM_QUIT, 0, 0);
    }).detach();
}

}  // namespace tools
