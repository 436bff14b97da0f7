#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "broadcast/eti.h"

namespace broadcast {

// DAB transmission mode I from ETI frames. Every four frames (CIFs with their FIBs) make one
// 96 ms transmission frame: the null symbol, the phase reference and 75 DQPSK symbols, as
// complex baseband at 2.048 MS/s with a mean power of 1 outside the null symbol.
class DabModulator {
  public:
    DabModulator();
    ~DabModulator();
    DabModulator(const DabModulator&) = delete;
    DabModulator& operator=(const DabModulator&) = delete;

    // Codes one ETI frame. False, with error saying why, for a frame that cannot be sent: not
    // mode I, no FIC, or a sub-channel whose protection the tables lack or that leaves the CIF.
    // The frame is then left out; the transmission frame fills up with the next ones.
    bool Add(const EtiFrameView& frame, std::string& error);
    // True when the last Add completed a transmission frame.
    bool FrameReady() const;
    // The last completed transmission frame (kFrameSamples samples).
    std::span<const std::complex<float>> Samples() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace broadcast
