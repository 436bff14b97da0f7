#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "dmbtpeg_version.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

using testsupport::ChildProcess;

namespace {

constexpr std::chrono::seconds kPatience{20};

struct Program {
    std::string name;
    // Calls that must get the usage on standard error and status 2, besides
    // an unknown option.
    std::vector<std::vector<std::string>> badCalls;
};

// Every program answers --help and --version alike and refuses a command line
// it does not know, without doing anything else. The device root and the
// runtime folder point into an empty folder that must stay empty: the service
// in particular must not start for any of these.
TEST(CommandLine, HelpVersionAndBadArgumentsOfEveryProgram) {
    const std::vector<Program> programs{
        {"dmbtpegd", {{"extra"}, {"--", "extra"}}},
        {"dmbtpeg-device", {{"init", "a", "b"}}},
        {"dmbtpeg-mkbroadcast", {{"--demo", "a", "b"}}},
        {"dmbtpeg-navmon", {{"--request", "reboot"}, {"--count", "x"}, {"--timeout"}, {"extra"}}},
        {"dmbtpeg-window", {{}, {"A", "B"}, {"--verbose"}, {"--", "A", "B"}}},
    };
    testsupport::TempDir folder;
    const std::map<std::string, std::string> env{{"DMBTPEG_ROOT", folder.Path()},
                                                 {"DMBTPEG_RUNTIME_DIR", folder / "run"}};
    for (const Program& program : programs) {
        const std::string usage = "usage: " + program.name + " ";

        ChildProcess help(program.name, {"--help"}, env);
        EXPECT_EQ(help.Wait(kPatience), 0) << program.name;
        EXPECT_EQ(help.Output().rfind(usage, 0), 0u) << help.Output();
        EXPECT_EQ(help.Errors(), "") << program.name;

        ChildProcess version(program.name, {"--version"}, env);
        EXPECT_EQ(version.Wait(kPatience), 0) << program.name;
        EXPECT_EQ(version.Output(), program.name + " " + kDmbTpegVersion + "\n");

        std::vector<std::vector<std::string>> calls = program.badCalls;
        calls.push_back({"--no-such-option"});
        for (const auto& args : calls) {
            ChildProcess bad(program.name, args, env);
            EXPECT_EQ(bad.Wait(kPatience), 2)
                << program.name << " " << testing::PrintToString(args);
            EXPECT_EQ(bad.Errors().rfind(usage, 0), 0u) << bad.Errors();
            EXPECT_EQ(bad.Output(), "") << program.name;
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
}

}  // namespace
