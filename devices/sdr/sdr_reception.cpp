// The SDR tuner's reception: a radio signal from an IQ source (iq_source.h),
// demodulated and decoded by a DAB receiver into the same frames the virtual
// tuner plays from ETI recordings: the FIC of each CIF and the tuned
// sub-channel's bytes.
//
// One front end (source and receiver) serves the streaming thread and the
// control calls (probe, scan) in turn under one lock, as a real tuner has one
// radio: a probe of another frequency retunes it, and the streaming thread
// tunes back at its next frame.
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>

#include "broadcast/dab_coding.h"
#include "broadcast/dab_receiver.h"
#include "broadcast/fic.h"
#include "devices/iq_source.h"
#include "devices/problem_log.h"
#include "devices/reception.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace devices {
namespace {

// Samples one 24 ms CIF takes on air.
constexpr std::size_t kCifSamples = broadcast::dab::kFrameSamples / broadcast::dab::kCifsPerFrame;
// A frame call reads at most this many CIFs' worth of samples, so that it keeps up with a
// source that is ahead and never waits long for one that has nothing.
constexpr std::size_t kReadBudgetCifs = 3;
// Frame calls without a CIF after which a probe gives a frequency up: 1.4 s of signal, several
// times what synchronisation takes.
constexpr std::size_t kProbePatience = 20;

struct Cif {
    std::array<std::uint8_t, 96> fic{};
    std::vector<std::uint8_t> subChannel;
};

// The source setting: DMBTPEG_SDR, else the registry value dmbtpeg-device init writes.
std::string SourceSetting() {
    if (const char* env = std::getenv("DMBTPEG_SDR"); env != nullptr && *env != '\0') {
        return env;
    }
    const auto value = platform::RegGetString(platform::HKEY_LOCAL_MACHINE,
                                              u"SOFTWARE\\dmbtpeg\\Tuner", u"Source");
    return value ? platform::ToUtf8(*value) : std::string();
}

class FrontEnd {
  public:
    // The next CIF received on `frequency`, decoding `subChannel`'s bytes when given.
    std::optional<Cif> NextCif(std::int32_t frequency,
                               const std::optional<broadcast::SubChannel>& subChannel) {
        std::lock_guard lock(m_mutex);
        if (!Open()) {
            return std::nullopt;
        }
        if (frequency != m_frequency) {
            m_frequency = frequency;
            m_cifs.clear();
            m_receiver.Reset();
            m_tuned = m_source->Tune(static_cast<std::uint32_t>(frequency));
        }
        if (subChannel != m_subChannel) {
            m_subChannel = subChannel;
            m_receiver.SelectSubChannel(subChannel);
        }
        if (!m_tuned) {
            return std::nullopt;
        }
        for (std::size_t read = 0; m_cifs.empty() && read < kReadBudgetCifs * kCifSamples;) {
            const std::size_t got = m_source->Read(m_samples);
            if (got == 0) {
                break;
            }
            read += got;
            m_receiver.Push(
                std::span(m_samples).first(got), [this](const broadcast::ReceivedCif& received) {
                    Cif cif;
                    std::copy_n(received.fic.begin(), std::min(received.fic.size(), cif.fic.size()),
                                cif.fic.begin());
                    cif.subChannel.assign(received.subChannel.begin(), received.subChannel.end());
                    m_cifs.push_back(std::move(cif));
                });
        }
        if (m_cifs.empty()) {
            return std::nullopt;
        }
        Cif cif = std::move(m_cifs.front());
        m_cifs.pop_front();
        return cif;
    }

    // Whether the source can receive `frequency` at all (a recording for it, a radio).
    bool CanTune(std::int32_t frequency) {
        std::lock_guard lock(m_mutex);
        if (!Open()) {
            return false;
        }
        m_frequency = frequency;
        m_cifs.clear();
        m_receiver.Reset();
        m_tuned = m_source->Tune(static_cast<std::uint32_t>(frequency));
        return m_tuned;
    }

    // A folder of recordings takes SIGNAL_OFF as the virtual tuner's broadcast folder does: the
    // antenna is disconnected while it is there.
    // Apart from the radio's lock, so that a signal poll never waits for a frame being read.
    bool SwitchedOff() {
        std::string path;
        {
            std::lock_guard lock(m_signalOffMutex);
            path = m_signalOffPath;
        }
        return !path.empty() && ::access(path.c_str(), F_OK) == 0;
    }

    broadcast::ReceiverStatus Status() const {
        std::lock_guard lock(m_mutex);
        return m_receiver.Status();
    }

  private:
    bool Open() {
        if (m_source) {
            return true;
        }
        const std::string setting = SourceSetting();
        if (setting.empty()) {
            m_problems.Report("setting", "SDR tuner: no source set (dmbtpeg-device init --source)");
            return false;
        }
        std::string error;
        m_source = OpenIqSource(setting, error);
        if (!m_source) {
            m_problems.Report("open", "SDR tuner: " + error);
            return false;
        }
        m_problems.Clear();
        if (setting.rfind("file:", 0) == 0) {
            std::lock_guard signalOff(m_signalOffMutex);
            m_signalOffPath = setting.substr(5) + "/SIGNAL_OFF";
        }
        platform::DebugOutput(platform::FromUtf8("[TDMB device] SDR tuner: receiving from " +
                                                 m_source->Describe() + "\r\n"));
        return true;
    }

    mutable std::mutex m_mutex;
    std::unique_ptr<IqSource> m_source;
    std::mutex m_signalOffMutex;
    std::string m_signalOffPath;  // under m_signalOffMutex
    std::int32_t m_frequency = 0;
    bool m_tuned = false;
    std::optional<broadcast::SubChannel> m_subChannel;
    broadcast::DabReceiver m_receiver;
    std::vector<std::complex<float>> m_samples = std::vector<std::complex<float>>(kCifSamples);
    std::deque<Cif> m_cifs;
    ProblemLog m_problems;
};

std::int32_t FrequencyOf(const std::string& where) {
    return static_cast<std::int32_t>(std::strtol(where.c_str(), nullptr, 10));
}

class RadioPlayer final : public FramePlayer {
  public:
    explicit RadioPlayer(FrontEnd& frontEnd) : m_frontEnd(frontEnd) {}

    PlayedFrame PlayFrame(const Tuning& tuning) override {
        if (!m_started || tuning.generation != m_generation) {
            m_started = true;
            m_generation = tuning.generation;
            m_fic = {};
            m_ficRevision = 0;
            m_component = {};
            m_subChannel.reset();
        }
        if (tuning.path.empty() || m_frontEnd.SwitchedOff()) {
            return {};
        }
        const auto cif = m_frontEnd.NextCif(FrequencyOf(tuning.path), m_subChannel);
        if (!cif) {
            return {FrameOutcome::Lost, false, {}, {}, {}};
        }
        const std::size_t badFibs = m_fic.PushFic(cif->fic);
        if (!m_frontEnd.Status().synced || badFibs == 3) {
            return {FrameOutcome::Lost, false, {}, {}, {}};
        }
        if (!tuning.serviceTuned) {
            return {FrameOutcome::Received, false, {}, {}, {}};
        }
        if (m_fic.Revision() != m_ficRevision) {
            m_ficRevision = m_fic.Revision();
            m_component = m_fic.TpegComponent(tuning.sid, tuning.subChannelId);
            const broadcast::EnsembleDescription ensemble = m_fic.Ensemble();
            if (const broadcast::SubChannel* sc = ensemble.FindSubChannel(tuning.subChannelId)) {
                m_subChannel = *sc;
            }
        }
        if (cif->subChannel.empty()) {
            return {FrameOutcome::Received, false, {}, {}, {}};
        }
        m_block = cif->subChannel;
        PlayedFrame played{FrameOutcome::Received, true, m_block, m_component, {}};
        if (const auto& time = m_fic.LatestTime(); time && time->fic == m_fic.FicCount()) {
            played.time = time->utcSeconds;
        }
        return played;
    }

  private:
    FrontEnd& m_frontEnd;
    bool m_started = false;
    std::uint64_t m_generation = 0;
    broadcast::FicDecoder m_fic;
    std::size_t m_ficRevision = 0;
    broadcast::PacketComponentInfo m_component;
    std::optional<broadcast::SubChannel> m_subChannel;
    std::vector<std::uint8_t> m_block;
};

class SdrReception final : public Reception {
  public:
    std::string Locate(std::int32_t frequencyKhz) override {
        return m_frontEnd.CanTune(frequencyKhz) ? std::to_string(frequencyKhz) : std::string();
    }
    bool SignalOn(const std::string& where) override {
        return !where.empty() && !m_frontEnd.SwitchedOff();
    }
    EnsembleProbe Probe(const std::string& where, std::size_t maxFrames) override {
        EnsembleProbe probe;
        const std::int32_t frequency = FrequencyOf(where);
        if (!m_frontEnd.CanTune(frequency)) {
            return probe;
        }
        probe.readable = true;
        broadcast::FicDecoder fic;
        // The budget counts frame calls, decoded or not; a frequency that gives no CIF for
        // kProbePatience calls in a row has no ensemble the receiver can synchronise to.
        std::size_t misses = 0;
        for (std::size_t i = 0; i < maxFrames && !fic.IsComplete() && misses < kProbePatience;
             ++i) {
            const auto cif = m_frontEnd.NextCif(frequency, std::nullopt);
            if (!cif) {
                ++misses;
                ++probe.badFrames;
                continue;
            }
            misses = 0;
            (fic.PushFic(cif->fic) < 3 ? probe.goodFrames : probe.badFrames) += 1;
        }
        probe.ensemble = fic.Ensemble();
        return probe;
    }
    std::unique_ptr<FramePlayer> NewPlayer() override {
        return std::make_unique<RadioPlayer>(m_frontEnd);
    }

  private:
    FrontEnd m_frontEnd;
};

}  // namespace

std::unique_ptr<Reception> MakeReception() {
    return std::make_unique<SdrReception>();
}

}  // namespace devices
