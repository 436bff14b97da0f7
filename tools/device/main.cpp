// dmbtpeg-device init ROOT [--no-card] [--scan BROADCAST | --tuner sdr --source SRC]
// dmbtpeg-device aids ROOT FILE AIDS
// dmbtpeg-device write-interval ROOT MS
//
// init lays out a device root with the device plugin registered in its
// registry and, with --scan, a scan file of the services of a broadcast
// folder. aids sets which AIDs fill one TPEG data file ("0x0001 0x0005"; ""
// for none), write-interval the least time between two writes of one file;
// both take effect at the TPEG library's next initialisation.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "dmbtpeg_version.h"
#include "platform/clock.h"
#include "tools/device/device_root.h"
#include "tools/device/device_scan.h"

namespace {

constexpr char kProgram[] = "dmbtpeg-device";
constexpr char kUsage[] =
    "usage: dmbtpeg-device init ROOT [--no-card] [--scan BROADCAST]\n"
    "       dmbtpeg-device init ROOT [--no-card] --tuner sdr --source SRC [--scan-source]\n"
    "       dmbtpeg-device aids ROOT FILE AIDS       (e.g. TPRTM.BIN \"0x0001 0x0005\")\n"
    "       dmbtpeg-device write-interval ROOT MS\n"
    "       dmbtpeg-device --help | --version\n";
constexpr char kHelp[] =
    "\n"
    "init lays out the device root ROOT and registers the device plugin in its\n"
    "registry; aids sets which AIDs fill the TPEG data file FILE (\"\" for none),\n"
    "write-interval the least time in ms between two writes of one file.\n"
    "\n"
    "  --no-card         no memory card: the scan file goes to flash\n"
    "  --scan BROADCAST  write a scan file of the services of the ETI recordings\n"
    "                    in the folder BROADCAST\n"
    "  --tuner KIND      virtual (ETI recordings, the default) or sdr (a radio signal)\n"
    "  --source SRC      where the sdr tuner receives from: file:DIR (IQ recordings\n"
    "                    DIR/<kHz>.iq), rtl_tcp:HOST:PORT or rtlsdr[:INDEX]\n"
    "  --scan-source     write a scan file of the services the sdr tuner finds\n"
    "  -h, --help        show this help and exit\n"
    "      --version     show the version and exit\n";

struct Options {
    // The command and its operands, options taken out.
    std::vector<std::string> args;
    bool withCard = true;
    std::string broadcast;
    bool sdr = false;
    std::string source;
    bool scanSource = false;
    // --no-card, --scan, --tuner or --source, which only init takes.
    bool initOptions = false;
};

// What the command line asks for: nullopt for a bad one, an exit status in
// `exitNow` after --help or --version.
std::optional<Options> ParseArguments(int argc, char** argv, std::optional<int>& exitNow) {
    enum { kNoCard = 256, kScan, kVersion, kTuner, kSource, kScanSource };
    static const option kLongOptions[] = {{"no-card", no_argument, nullptr, kNoCard},
                                          {"scan", required_argument, nullptr, kScan},
                                          {"tuner", required_argument, nullptr, kTuner},
                                          {"source", required_argument, nullptr, kSource},
                                          {"scan-source", no_argument, nullptr, kScanSource},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    Options options;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "h", kLongOptions, nullptr)) != -1;) {
        switch (c) {
            case kNoCard:
                options.withCard = false;
                options.initOptions = true;
                break;
            case kScan:
                options.broadcast = optarg;
                options.initOptions = true;
                if (options.broadcast.empty()) {
                    return std::nullopt;
                }
                break;
            case kTuner:
                options.initOptions = true;
                options.sdr = std::string(optarg) == "sdr";
                if (!options.sdr && std::string(optarg) != "virtual") {
                    return std::nullopt;
                }
                break;
            case kSource:
                options.initOptions = true;
                options.source = optarg;
                break;
            case kScanSource:
                options.initOptions = true;
                options.scanSource = true;
                break;
            case 'h':
                std::printf("%s%s", kUsage, kHelp);
                exitNow = 0;
                return std::nullopt;
            case kVersion:
                std::printf("%s %s\n", kProgram, kDmbTpegVersion);
                exitNow = 0;
                return std::nullopt;
            default:
                return std::nullopt;
        }
    }
    options.args.assign(argv + optind, argv + argc);
    const std::vector<std::string>& args = options.args;
    if (args.size() < 2 || args[1].empty()) {
        return std::nullopt;
    }
    // The scan reads ETI recordings; the SDR tuner needs its source.
    if (options.sdr == options.source.empty() || (options.sdr && !options.broadcast.empty()) ||
        (options.scanSource && !options.sdr)) {
        return std::nullopt;
    }
    const bool valid = args[0] == "init"             ? args.size() == 2
                       : args[0] == "aids"           ? args.size() == 4 && !options.initOptions
                       : args[0] == "write-interval" ? args.size() == 3 && !options.initOptions
                                                     : false;
    if (!valid) {
        return std::nullopt;
    }
    return options;
}

int Fail(const std::string& error) {
    std::fprintf(stderr, "dmbtpeg-device: %s\n", error.c_str());
    return 1;
}

// aids and write-interval: a TPEG setting in the registry of an existing root.
int SetTpegSetting(const std::vector<std::string>& args) {
    const bool aids = args[0] == "aids";
    std::error_code ec;
    if (!std::filesystem::is_directory(args[1], ec)) {
        return Fail("no device root " + args[1]);
    }
    ::setenv("DMBTPEG_ROOT", args[1].c_str(), 1);
    std::string error;
    const bool done = aids ? devicetool::SetApplicationAids(args[2], args[3], error)
                           : devicetool::SetWriteInterval(args[2], error);
    if (!done) {
        return Fail(error);
    }
    std::printf("%s: %s %s\n", args[1].c_str(), args[2].c_str(), aids ? args[3].c_str() : "ms");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<int> exitNow;
    const std::optional<Options> options = ParseArguments(argc, argv, exitNow);
    if (exitNow) {
        return *exitNow;
    }
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    platform::CheckEnvironment();
    if (options->args[0] != "init") {
        return SetTpegSetting(options->args);
    }
    const std::string& root = options->args[1];
    std::error_code ec;
    if (!options->broadcast.empty() && !std::filesystem::is_directory(options->broadcast, ec)) {
        return Fail("no broadcast folder " + options->broadcast);
    }
    std::string error;
    if (!devicetool::CreateFolders(root, options->withCard, error)) {
        return Fail(error);
    }
    // The registry and the device paths of this process are the new root's.
    ::setenv("DMBTPEG_ROOT", root.c_str(), 1);
    if (!devicetool::RegisterDevicePlugin(options->sdr, error) ||
        (options->sdr && !devicetool::SetTunerSource(options->source, error))) {
        return Fail(error);
    }
    std::printf(
        "%s: %s registered\n", root.c_str(),
        options->sdr ? ("SDR tuner plugin, source " + options->source).c_str() : "device plugin");
    if (!options->broadcast.empty() || options->scanSource) {
        if (!options->broadcast.empty()) {
            ::setenv("DMBTPEG_BROADCAST", options->broadcast.c_str(), 1);
        }
        const int services = devicetool::ScanToScanFile(error);
        if (services < 0) {
            return Fail(error);
        }
        std::printf("%s: scan file with %d services\n", root.c_str(), services);
    }
    return 0;
}
