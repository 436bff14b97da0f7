// dmbtpeg-device init ROOT [--no-card] [--scan BROADCAST]
//
// Lays out a device root with the device plugin registered in its registry
// and, with --scan, a scan file of the services of a broadcast folder.
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

constexpr char kUsage[] = "usage: dmbtpeg-device init ROOT [--no-card] [--scan BROADCAST]\n";

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

}  // namespace

int main(int argc, char** argv) {
    const std::optional<Options> options =
        ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
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
