// Where the tuner's frames come from. The virtual tuner's plugin receives the
// ETI recordings of the broadcast folder; the SDR tuner's plugin receives a
// radio signal. The tuner filter, its commands and its streaming are the same
// for both: each plugin module links one MakeReception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "devices/ensemble_player.h"
#include "devices/ensemble_probe.h"

namespace devices {

// Plays the tuned ensemble one 24 ms frame per call, for the streaming thread.
class FramePlayer {
  public:
    virtual ~FramePlayer() = default;
    virtual PlayedFrame PlayFrame(const Tuning& tuning) = 0;
};

// Shared by the tuner's control calls and its streaming thread: thread-safe.
class Reception {
  public:
    virtual ~Reception() = default;
    // What a tuning to `frequencyKhz` receives from (Tuning::path): a recording,
    // a radio frequency; empty when there is nothing to receive there.
    virtual std::string Locate(std::int32_t frequencyKhz) = 0;
    // False when what `where` names is gone or its signal is switched off.
    virtual bool SignalOn(const std::string& where) = 0;
    // What the FIC says, from at most `maxFrames` frames.
    virtual EnsembleProbe Probe(const std::string& where,
                                std::size_t maxFrames = kEnsembleProbeFrames) = 0;
    virtual std::unique_ptr<FramePlayer> NewPlayer() = 0;
};

std::unique_ptr<Reception> MakeReception();

}  // namespace devices
