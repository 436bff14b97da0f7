// dmbtpeg-mkbroadcast: writes a broadcast, one ETI recording per ensemble,
// from a description or the built-in demo.
#include <getopt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "dmbtpeg_version.h"
#include "tools/mkbroadcast/config.h"
#include "tools/mkbroadcast/writer.h"

namespace {

constexpr char kProgram[] = "dmbtpeg-mkbroadcast";
constexpr char kUsage[] =
    "usage: dmbtpeg-mkbroadcast --demo DIR | --config FILE DIR [--quiet]\n"
    "       dmbtpeg-mkbroadcast --help | --version\n";
constexpr char kHelp[] =
    "\n"
    "Writes a broadcast into DIR: one ETI recording per ensemble, named by its\n"
    "frequency in kHz.\n"
    "\n"
    "  --demo         the demo broadcast\n"
    "  --config FILE  the broadcast FILE describes\n"
    "  --quiet        no progress on standard error\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n";

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
    enum { kDemo = 256, kConfig, kQuiet, kVersion };
    static const option kLongOptions[] = {{"demo", no_argument, nullptr, kDemo},
                                          {"config", required_argument, nullptr, kConfig},
                                          {"quiet", no_argument, nullptr, kQuiet},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1;) {
        switch (c) {
            case kDemo:
                demo = true;
                break;
            case kConfig:
                configPath = optarg;
                break;
            case kQuiet:
                quiet = true;
                break;
            case 'h':
                std::printf("%s%s", kUsage, kHelp);
                return 0;
            case kVersion:
                std::printf("%s %s\n", kProgram, kDmbTpegVersion);
                return 0;
            default:
                std::fputs(kUsage, stderr);
                return 2;
        }
    }
    if (argc - optind == 1) {
        folder = argv[optind];
    }
    if (argc - optind != 1 || folder.empty() || demo == !configPath.empty()) {
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
