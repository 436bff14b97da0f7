// The virtual tuner's reception: ETI recordings from the broadcast folder.
#include "devices/broadcast_folder.h"
#include "devices/reception.h"

namespace devices {
namespace {

class RecordingPlayer final : public FramePlayer {
  public:
    PlayedFrame PlayFrame(const Tuning& tuning) override { return m_player.PlayFrame(tuning); }

  private:
    EnsemblePlayer m_player;
};

class EtiReception final : public Reception {
  public:
    std::string Locate(std::int32_t frequencyKhz) override {
        std::string path = RecordingPath(frequencyKhz);
        return RecordingExists(path) ? path : std::string();
    }
    bool SignalOn(const std::string& where) override {
        return RecordingExists(where) && !SignalSwitchedOff();
    }
    EnsembleProbe Probe(const std::string& where, std::size_t maxFrames) override {
        return ProbeEnsemble(where, maxFrames);
    }
    std::unique_ptr<FramePlayer> NewPlayer() override {
        return std::make_unique<RecordingPlayer>();
    }
};

}  // namespace

std::unique_ptr<Reception> MakeReception() {
    return std::make_unique<EtiReception>();
}

}  // namespace devices
