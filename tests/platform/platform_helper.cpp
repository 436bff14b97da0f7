// A second process for the platform tests.
//   platform_helper mutex NAME   holds the named mutex until killed; prints "held <last error>"
//   platform_helper log THREADS LINES   writes lines from several threads to the debug output
//   platform_helper journal stderr|stdout   writes debug lines with JOURNAL_STREAM naming
//                                stderr or stdout; prints the journal entries made
//   platform_helper scale        prints the time scale in force
//   platform_helper regset KEY NAME NUMBER   sets a REG_DWORD below HKLM; prints "set <result>"
//   platform_helper regget KEY NAME          prints the REG_DWORD below HKLM, or "missing"
//   platform_helper regfill KEY PREFIX COUNT sets PREFIX0..PREFIX<COUNT-1> one call each
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

platform::LONG SetDword(const std::string& key, const std::string& name, platform::DWORD number) {
    platform::HKEY handle = nullptr;
    auto path = platform::FromUtf8(key);
    platform::LONG result =
        platform::RegCreateKeyEx(platform::HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                 platform::KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    if (result != platform::ERROR_SUCCESS) {
        return result;
    }
    auto valueName = platform::FromUtf8(name);
    result =
        platform::RegSetValueEx(handle, valueName.c_str(), 0, platform::REG_DWORD,
                                reinterpret_cast<const platform::BYTE*>(&number), sizeof number);
    platform::RegCloseKey(handle);
    return result;
}

}  // namespace

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
    if (mode == "journal" && argc == 3) {
        // As systemd describes the stream it connected; only the debug output's
        // first line looks at it.
        struct stat st {};
        ::fstat(std::string(argv[2]) == "stderr" ? 2 : 1, &st);
        std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
        class PrintingJournal : public platform::JournalWriter {
          public:
            void Send(int priority, std::string_view identifier,
                      std::string_view message) override {
                std::printf("%d %.*s %.*s\n", priority, static_cast<int>(identifier.size()),
                            identifier.data(), static_cast<int>(message.size()), message.data());
            }
        };
        PrintingJournal journal;
        platform::ScopedJournalWriter guard(journal);
        platform::DebugPrintf(u"[Lumo DMB] Could not create Thread\r\n");
        platform::DebugPrintf(u"TDmbMain Fail to Connect filters");
        platform::DebugPrintf(u"TDmbMain Filter_TF = TRUE \r\n");
        std::fflush(stdout);
        return 0;
    }
    if (mode == "scale") {
        platform::CheckEnvironment();
        std::printf("%g\n", platform::TimeScale());
        return 0;
    }
    if (mode == "regset" && argc == 5) {
        auto number = static_cast<platform::DWORD>(std::strtoul(argv[4], nullptr, 10));
        std::printf("set %d\n", SetDword(argv[2], argv[3], number));
        return 0;
    }
    if (mode == "regget" && argc == 4) {
        auto value = platform::RegGetDword(
            platform::HKEY_LOCAL_MACHINE, platform::FromUtf8(argv[2]), platform::FromUtf8(argv[3]));
        if (value) {
            std::printf("%u\n", *value);
        } else {
            std::printf("missing\n");
        }
        return 0;
    }
    if (mode == "regfill" && argc == 5) {
        int count = std::atoi(argv[4]);
        for (int i = 0; i < count; ++i) {
            platform::LONG result =
                SetDword(argv[2], argv[3] + std::to_string(i), static_cast<platform::DWORD>(i));
            if (result != platform::ERROR_SUCCESS) {
                std::printf("failed %d\n", result);
                return 1;
            }
        }
        std::printf("filled\n");
        return 0;
    }
    std::fprintf(stderr,
                 "usage: platform_helper mutex NAME | log THREADS LINES | journal stderr|stdout | "
                 "scale | regset KEY NAME NUMBER | regget KEY NAME | regfill KEY PREFIX COUNT\n");
    return 2;
}
