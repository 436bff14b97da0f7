#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "broadcast/ensemble.h"

namespace broadcast {

struct ReceivedCif {
    // 96 bytes: the 3 FIBs of this CIF as decoded (the consumer checks the FIB CRCs).
    std::span<const std::uint8_t> fic;
    // The selected sub-channel's 24 ms logical frame (bitrate * 3 bytes); empty when none is
    // selected or its time de-interleaver is not full yet.
    std::span<const std::uint8_t> subChannel;
};

struct ReceiverStatus {
    bool synced = false;
    double snrDb = 0;              // in the ensemble's band, from the demodulated symbols
    double frequencyOffsetHz = 0;  // estimated carrier offset being corrected
    double clockOffsetPpm = 0;     // positive: the sample clock runs slow (fewer samples)
    std::uint64_t fibsGood = 0, fibsBad = 0;  // FIB CRC results since Reset
    std::uint64_t frames = 0;                 // transmission frames demodulated since Reset
};

// The core of a DAB transmission mode I receiver: complex baseband at 2.048 MS/s in, decoded
// FIC and one sub-channel out, no I/O. It finds frames by their null symbol, times and
// corrects them against the phase reference symbol, and keeps tracking carrier and sample
// clock offsets frame by frame, so it rides out drift and re-acquires after an outage.
//
// Any input is taken, noise and garbage included. Not thread-safe: one thread at a time may
// use a receiver (distinct receivers may run on distinct threads).
class DabReceiver {
  public:
    DabReceiver();
    ~DabReceiver();
    DabReceiver(const DabReceiver&) = delete;
    DabReceiver& operator=(const DabReceiver&) = delete;

    // A retune: forget sync, offsets, counters and the de-interleaver (the selection stays).
    void Reset();
    // Which sub-channel to decode (start address, size, protection from the FIC); nullopt:
    // FIC only. A change restarts that sub-channel's de-interleaver. A sub-channel whose
    // protection the tables lack or that leaves the CIF is treated as none.
    void SelectSubChannel(const std::optional<SubChannel>& subChannel);
    // Samples at 2.048 MS/s (level as ReadSamples returns: power about 1), in blocks of any
    // size. Calls sink once per decoded CIF, in order; the spans live until sink returns, and
    // sink must not call back into the receiver. CIFs of a frame that failed to demodulate
    // are left out (the sub-channel's de-interleaver then starts again).
    void Push(std::span<const std::complex<float>> samples,
              const std::function<void(const ReceivedCif&)>& sink);
    ReceiverStatus Status() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace broadcast
