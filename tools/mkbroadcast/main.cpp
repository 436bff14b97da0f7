#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "tools/mkbroadcast/config.h"
#include "tools/mkbroadcast/writer.h"

namespace {

constexpr const char* kUsage =
    "usage: dmbtpeg-mkbroadcast --demo DIR | --config FILE DIR [--quiet]\n";

int Fail(const std::string& message) {
    std::fprintf(stderr, "dmbtpeg-mkbroadcast: %s\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string config;
    std::string folder;
    std::string configPath;
    bool quiet = false;
    bool demo = false;
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--demo") {
            demo = true;
        } else if (arg == "--config" && i + 1 < argc) {
            configPath = argv[++i];
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!arg.starts_with("-") && positional == 0) {
            folder = arg;
            ++positional;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (folder.empty() || demo == !configPath.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (demo) {
        config = mkbroadcast::DemoConfig();
    } else {
        std::ifstream in(configPath);
        if (!in) {
            return Fail("cannot read " + configPath);
        }
        config.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    mkbroadcast::BroadcastPlan plan;
    std::string error;
    if (!mkbroadcast::ParseConfig(config, plan, error)) {
        return Fail((demo ? std::string("demo") : configPath) + ": " + error);
    }
    if (!mkbroadcast::WriteBroadcast(plan, folder, quiet ? nullptr : stderr, error)) {
        std::fprintf(stderr, "dmbtpeg-mkbroadcast: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
