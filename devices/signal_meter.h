// What the streaming thread received in each 24 ms frame period since the
// last tune, for the tuner's signal status. Written by the streaming thread,
// read by any thread.
#pragma once

#include <bitset>
#include <cstdint>
#include <mutex>

namespace devices {

enum class FrameOutcome {
    Received,  // a valid frame
    Lost,      // a recording is there, but no valid frame came from it
    Silent,    // nothing to receive: no recording, or the signal is switched off
};

// Quality is judged over this many recent frame periods.
inline constexpr std::uint32_t kQualityWindow = 100;

struct SignalReading {
    std::uint64_t generation = 0;  // the tune the counts belong to
    std::uint32_t periods = 0;     // frame periods recorded
    std::uint32_t received = 0;
    std::uint32_t lost = 0;
    std::uint32_t periodsSinceReceived = 0;
    std::int32_t qualityPercent = 0;  // received share of the recent window
};

class SignalMeter {
  public:
    // Counts start again when `generation` differs from the last one recorded.
    void Record(std::uint64_t generation, FrameOutcome outcome);
    SignalReading Read() const;

  private:
    mutable std::mutex m_mutex;
    SignalReading m_reading;
    std::bitset<kQualityWindow> m_window;
};

}  // namespace devices
