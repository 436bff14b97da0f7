#include <gtest/gtest.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/bus_thread.h"

using namespace platform;

namespace {

// A connection to one end of a socket pair: the bus thread needs a started
// connection, not a bus daemon. The test closes the other end at once, so the
// connection is lost (work still runs then) and closing it waits for no one.
int OpenPair(sd_bus** bus, int* otherEnd) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) < 0) {
        return -errno;
    }
    *otherEnd = fds[1];
    int result = sd_bus_new(bus);
    if (result >= 0) {
        result = sd_bus_set_fd(*bus, fds[0], fds[0]);
    }
    return result >= 0 ? sd_bus_start(*bus) : result;
}

// Run under ThreadSanitizer too: a poster's wake-up must not touch what Stop
// tears down, however the two interleave.
TEST(BusThread, PostsRacingAStopEachRunOnceOrAreRefused) {
    for (int round = 0; round < 20; ++round) {
        BusThread thread;
        int otherEnd = -1;
        ASSERT_EQ(thread.Start([&](sd_bus** bus) { return OpenPair(bus, &otherEnd); },
                               [](sd_bus*) { return 0; }),
                  0);
        ::close(otherEnd);
        std::atomic<int> ran{0};
        int accepted = 0;
        std::thread poster([&] {
            while (thread.Post([&](sd_bus*) { ++ran; })) {
                ++accepted;
            }
        });
        while (ran.load() == 0) {
            std::this_thread::yield();
        }
        thread.Stop({});
        poster.join();
        EXPECT_EQ(ran.load(), accepted);
    }
}

}  // namespace
