// dmbtpeg-device init ROOT [--no-card] [--scan BROADCAST]
// dmbtpeg-device aids ROOT FILE AIDS
// dmbtpeg-device write-interval ROOT MS
//
// init lays out a device root with the device plugin registered in its
// registry and, with --scan, a scan file of the services of a broadcast
// folder. aids sets which AIDs fill one TPEG data file ("0x0001 0x0005"; ""
// for none), write-interval the least time between two writes of one file;
// both take effect at the TPEG library's next initialisation.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tools/device/device_root.h"
#include "tools/device/device_scan.h"

namespace {

constexpr char kUsage[] =
    "usage: dmbtpeg-device init ROOT [--no-card] [--scan BROADCAST]\n"
    "       dmbtpeg-device aids ROOT FILE AIDS       (e.g. TPRTM.BIN \"0x0001 0x0005\")\n"
    "       dmbtpeg-device write-interval ROOT MS\n";

struct Options {
    std::string root;
    bool withCard = true;
    std::string broadcast;
};

std::optional<Options> ParseArguments(const std::vector<std::string>& args) {
    if (args.size() < 2 || args[0] != "init" || args[1].empty() || args[1][0] == '-') {
        return std::nullopt;
    }
    Options options;
    options.root = args[1];
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--no-card") {
            options.withCard = false;
        } else if (args[i] == "--scan" && i + 1 < args.size() && !args[i + 1].empty()) {
            options.broadcast = args[++i];
        } else {
            return std::nullopt;
        }
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
    if (args.size() != (aids ? 4u : 3u) || args[1].empty() || args[1][0] == '-') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    platform::CheckEnvironment();
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
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "aids" || args[0] == "write-interval")) {
        return SetTpegSetting(args);
    }
    const std::optional<Options> options = ParseArguments(args);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    platform::CheckEnvironment();
    std::error_code ec;
    if (!options->broadcast.empty() && !std::filesystem::is_directory(options->broadcast, ec)) {
        return Fail("no broadcast folder " + options->broadcast);
    }
    std::string error;
    if (!devicetool::CreateFolders(options->root, options->withCard, error)) {
        return Fail(error);
    }
    // The registry and the device paths of this process are the new root's.
    ::setenv("DMBTPEG_ROOT", options->root.c_str(), 1);
    if (!devicetool::RegisterDevicePlugin(error)) {
        return Fail(error);
    }
    std::printf("%s: device plugin registered\n", options->root.c_str());
    if (!options->broadcast.empty()) {
        ::setenv("DMBTPEG_BROADCAST", options->broadcast.c_str(), 1);
        const int services = devicetool::ScanToScanFile(error);
        if (services < 0) {
            return Fail(error);
        }
        std::printf("%s: scan file with %d services\n", options->root.c_str(), services);
    }
    return 0;
}
