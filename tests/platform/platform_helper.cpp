// A second process for the platform tests.
//   platform_helper mutex NAME   holds the named mutex until killed; prints "held <last error>"
//   platform_helper log THREADS LINES   writes lines from several threads to the debug output
//   platform_helper scale        prints the time scale in force
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/kernel.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "mutex" && argc == 3) {
        auto name = platform::FromUtf8(argv[2]);
        platform::HANDLE h = platform::CreateMutex(nullptr, platform::TRUE, name.c_str());
        std::printf("held %u\n", platform::GetLastError());
        std::fflush(stdout);
        for (;;) {
            ::pause();
        }
        platform::CloseHandle(h);
    }
    if (mode == "log" && argc == 4) {
        int threads = std::atoi(argv[2]);
        int lines = std::atoi(argv[3]);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([t, lines] {
                std::u16string filler(60, static_cast<char16_t>(u'a' + t));
                for (int i = 0; i < lines; ++i) {
                    platform::DebugPrintf(u"[%d] %s\r\n", t, filler);
                }
            });
        }
        for (auto& w : workers) {
            w.join();
        }
        return 0;
    }
    if (mode == "scale") {
        platform::CheckEnvironment();
        std::printf("%g\n", platform::TimeScale());
        return 0;
    }
    std::fprintf(stderr, "usage: platform_helper mutex NAME | log THREADS LINES | scale\n");
    return 2;
}
