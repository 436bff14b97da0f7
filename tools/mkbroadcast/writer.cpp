#include "tools/mkbroadcast/writer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "broadcast/check_pattern.h"
#include "broadcast/eti.h"
#include "broadcast/fic.h"
#include "broadcast/fig.h"
#include "tools/mkbroadcast/content.h"
#include "tools/mkbroadcast/tpeg_channel.h"

namespace mkbroadcast {
namespace {

namespace bc = broadcast;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// FIGs that a receiver which mixed them in would get wrong: each TPEG component moved to
// another packet address, and a service that is not in this ensemble.
void AddIgnoredFigs(const EnsemblePlan& plan, bc::FicEncoder& fic) {
    const bc::EnsembleDescription& ensemble = plan.ensemble;
    std::vector<bc::Service> moved;
    for (bc::Service s : ensemble.services) {
        if (s.packetMode) {
            s.packetAddress = static_cast<std::uint16_t>(s.packetAddress % 1023 + 1);
            moved.push_back(s);
        }
    }
    std::vector<bc::Fig> figs;
    if (plan.nextConfigurationFigs) {
        bc::AppendFig0_3(moved, figs);
        for (bc::Fig& fig : figs) {
            bc::SetFig0Flags(fig, true, false);
        }
    }
    if (plan.otherEnsembleFigs) {
        std::vector<bc::Fig> other;
        bc::AppendFig0_3(moved, other);
        bc::Service stranger;
        stranger.sid = 0xEF00;
        while (ensemble.FindService(stranger.sid) != nullptr) {
            ++stranger.sid;
        }
        stranger.kind = bc::ServiceKind::Audio;
        stranger.subChannelId = 63;
        bc::AppendFig0_2(std::span(&stranger, 1), false, other);
        for (bc::Fig& fig : other) {
            bc::SetFig0Flags(fig, false, true);
            figs.push_back(std::move(fig));
        }
    }
    fic.AddFigs(std::move(figs), bc::FicRates{}.slow);
}

// Messages stay current for 30 days after the recording is made, counted from
// SOURCE_DATE_EPOCH when set so that a build can be repeated byte for byte.
std::uint32_t MessageExpiry() {
    constexpr std::int64_t kLifetime = 30 * 86400;
    std::int64_t made = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch != nullptr) {
        char* end = nullptr;
        const long long value = std::strtoll(epoch, &end, 10);
        if (end != epoch && *end == '\0' && value >= 0) {
            made = value;
        }
    }
    return static_cast<std::uint32_t>(std::min<std::int64_t>(made + kLifetime, UINT32_MAX));
}

bool WriteEnsemble(const EnsemblePlan& plan, std::uint32_t frames, const std::string& path,
                   std::FILE* progress, std::string& error) {
    const bc::EnsembleDescription& ensemble = plan.ensemble;
    std::vector<std::unique_ptr<ContentSource>> contents;
    std::vector<std::unique_ptr<TpegChannel>> channels(ensemble.subChannels.size());
    for (const TpegSource& source : plan.tpeg) {
        const bc::Service* service = FindTpegComponent(ensemble, source.sid);
        contents.push_back(
            std::make_unique<ContentSource>(source, plan.frequencyKhz, frames, MessageExpiry()));
        if (!contents.back()->Load(error)) {
            return false;
        }
        for (std::size_t i = 0; i < ensemble.subChannels.size(); ++i) {
            const bc::SubChannel& sc = ensemble.subChannels[i];
            if (sc.id == service->subChannelId) {
                channels[i] = std::make_unique<TpegChannel>(source, service->packetAddress,
                                                            sc.fecScheme == 1, *contents.back());
            }
        }
    }
    std::vector<std::vector<std::uint8_t>> payloads;
    std::vector<bc::EtiStream> streams;
    for (const bc::SubChannel& sc : ensemble.subChannels) {
        payloads.emplace_back(sc.StreamLengthWords() * 8u, 0);
        streams.push_back({sc.id,
                           sc.startAddress,
                           bc::EtiProtection(sc.shortForm, sc.option, sc.protectionLevel),
                           {}});
    }
    for (std::size_t i = 0; i < streams.size(); ++i) {
        streams[i].data = payloads[i];
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot create " + path;
        return false;
    }
    bc::FicEncoder fic(ensemble);
    AddIgnoredFigs(plan, fic);
    if (plan.firstFrameUtcMs) {
        fic.SendTime(*plan.firstFrameUtcMs);
    }
    std::vector<std::uint8_t> ficBytes(bc::FicSize(1));
    std::vector<std::uint8_t> frame(bc::kEtiFrameSize);
    const std::uint32_t step = std::max<std::uint32_t>(frames / 5, 1);
    for (std::uint32_t n = 0; n < frames; ++n) {
        fic.Fill(n, ficBytes);
        for (std::size_t i = 0; i < channels.size(); ++i) {
            if (channels[i]) {
                channels[i]->Fill(n, payloads[i]);
            } else if (std::find(plan.patternSubChannels.begin(), plan.patternSubChannels.end(),
                                 ensemble.subChannels[i].id) != plan.patternSubChannels.end()) {
                bc::FillCheckPattern(n, payloads[i]);
            }
        }
        bc::EtiFrameContent content;
        content.frameNumber = n;
        content.mode = 1;
        content.fic = ficBytes;
        content.streams = streams;
        const bc::EtiError result = bc::WriteEtiFrame(content, frame);
        if (result != bc::EtiError::None) {
            error = path + ": " + bc::ToString(result);
            return false;
        }
        if (std::fwrite(frame.data(), 1, frame.size(), file.get()) != frame.size()) {
            error = "cannot write " + path;
            return false;
        }
        if (progress != nullptr && ((n + 1) % step == 0 || n + 1 == frames)) {
            std::fprintf(progress, "%s: %u/%u frames\n", path.c_str(), n + 1, frames);
        }
    }
    if (std::fclose(file.release()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace

bool WriteBroadcast(const BroadcastPlan& plan, const std::string& folder, std::FILE* progress,
                    std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        error = "cannot create " + folder + ": " + ec.message();
        return false;
    }
    for (const EnsemblePlan& ensemble : plan.ensembles) {
        const std::string path =
            (std::filesystem::path(folder) / (std::to_string(ensemble.frequencyKhz) + ".eti"))
                .string();
        if (!WriteEnsemble(ensemble, plan.frames, path, progress, error)) {
            return false;
        }
    }
    return true;
}

}  // namespace mkbroadcast
