// dmbtpeg-mkbroadcast: writes a broadcast, one ETI recording per ensemble,
// from a description or the built-in demo.
#include <getopt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "broadcast/iq_signal.h"
#include "dmbtpeg_version.h"
#include "tools/mkbroadcast/config.h"
#include "tools/mkbroadcast/writer.h"

namespace {

constexpr char kProgram[] = "dmbtpeg-mkbroadcast";
constexpr char kUsage[] =
    "usage: dmbtpeg-mkbroadcast --demo DIR | --config FILE DIR [--iq] [SIGNAL] [--quiet]\n"
    "       dmbtpeg-mkbroadcast --iq-from FILE.eti OUT.iq [SIGNAL]\n"
    "       dmbtpeg-mkbroadcast --help | --version\n";
constexpr char kHelp[] =
    "\n"
    "Writes a broadcast into DIR: one ETI recording per ensemble, named by its\n"
    "frequency in kHz.\n"
    "\n"
    "  --demo         the demo broadcast\n"
    "  --config FILE  the broadcast FILE describes\n"
    "  --quiet        no progress on standard error\n"
    "  --iq           also the radio signal, <kHz>.iq beside each <kHz>.eti: DAB\n"
    "                 transmission mode I at 2.048 MS/s (<kHz>.cf32.iq in cf32)\n"
    "  --iq-from ETI  the radio signal of any ETI recording, written to OUT.iq\n"
    "\n"
    "SIGNAL options (with --iq or --iq-from):\n"
    "  --iq-format F  u8 (I/Q bytes as rtl_sdr writes them, the default) or cf32\n"
    "  --snr DB       white noise, DB below the signal in its 1.536 MHz\n"
    "  --cfo HZ       carrier frequency offset\n"
    "  --sco PPM      sample clock offset (positive: the receiver's clock runs slow)\n"
    "  --echo US:DB   a second path US microseconds late, DB (0 or less) below\n"
    "  --outage S:LEN no signal for LEN seconds from second S\n"
    "  --seed N       noise seed (the same seed gives the same noise)\n"
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
    bool iq = false;
    std::string iqFrom;
    std::string impairments;
    broadcast::IqFormat format = broadcast::IqFormat::U8;
    enum { kDemo = 256, kConfig, kQuiet, kVersion, kIq, kIqFrom, kIqFormat, kImpairment };
    static const option kLongOptions[] = {{"demo", no_argument, nullptr, kDemo},
                                          {"config", required_argument, nullptr, kConfig},
                                          {"quiet", no_argument, nullptr, kQuiet},
                                          {"iq", no_argument, nullptr, kIq},
                                          {"iq-from", required_argument, nullptr, kIqFrom},
                                          {"iq-format", required_argument, nullptr, kIqFormat},
                                          {"snr", required_argument, nullptr, kImpairment},
                                          {"cfo", required_argument, nullptr, kImpairment},
                                          {"sco", required_argument, nullptr, kImpairment},
                                          {"echo", required_argument, nullptr, kImpairment},
                                          {"outage", required_argument, nullptr, kImpairment},
                                          {"seed", required_argument, nullptr, kImpairment},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, kVersion},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int index = 0;
    for (int c; (c = getopt_long(argc, argv, "h", kLongOptions, &index)) != -1;) {
        switch (c) {
            case kIq:
                iq = true;
                break;
            case kIqFrom:
                iqFrom = optarg;
                break;
            case kIqFormat:
                if (!broadcast::ParseIqFormat(optarg, format)) {
                    return Fail(std::string("unknown IQ format ") + optarg + " (u8 or cf32)");
                }
                break;
            case kImpairment:
                impairments += std::string(impairments.empty() ? "" : ",") +
                               kLongOptions[index].name + "=" + optarg;
                break;
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
    broadcast::Impairments signal;
    std::string error;
    if (!broadcast::ParseImpairments(impairments, signal, error)) {
        return Fail(error);
    }
    if (!iqFrom.empty()) {
        if (argc - optind != 1 || demo || !configPath.empty() || iq) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        if (!broadcast::WriteIqRecording(iqFrom, argv[optind], format, signal, error)) {
            std::fprintf(stderr, "dmbtpeg-mkbroadcast: %s\n", error.c_str());
            return 1;
        }
        return 0;
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
    if (!mkbroadcast::ParseConfig(config, plan, error)) {
        return Fail((demo ? std::string("demo") : configPath) + ": " + error);
    }
    if (!mkbroadcast::WriteBroadcast(plan, folder, quiet ? nullptr : stderr, error)) {
        std::fprintf(stderr, "dmbtpeg-mkbroadcast: %s\n", error.c_str());
        return 1;
    }
    if (!iq) {
        return 0;
    }
    for (const auto& ensemble : plan.ensembles) {
        const std::string base = folder + "/" + std::to_string(ensemble.frequencyKhz);
        if (!quiet) {
            std::fprintf(stderr, "%s.eti: its radio signal\n", base.c_str());
        }
        // The sample format goes into the name, as receivers that read such files expect.
        const std::string iqPath =
            base + (format == broadcast::IqFormat::Cf32 ? ".cf32.iq" : ".iq");
        if (!broadcast::WriteIqRecording(base + ".eti", iqPath, format, signal, error)) {
            std::fprintf(stderr, "dmbtpeg-mkbroadcast: %s\n", error.c_str());
            return 1;
        }
    }
    return 0;
}
