// Where the SDR tuner's IQ samples come from: a folder of recordings, an
// rtl_tcp server, or an RTL2832U dongle through librtlsdr. Every source
// delivers 2.048 MS/s at the level of broadcast::ReadSamples, so the receiver
// does not care which one it has.
//
// A source is used by one thread at a time (the tuner's streaming thread).
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace devices {

inline constexpr std::uint32_t kIqSampleRate = 2'048'000;

class IqSource {
  public:
    virtual ~IqSource() = default;
    // Tunes to a frequency in kHz; false when nothing can be received there
    // (no recording for it, the server or dongle refused or went away).
    virtual bool Tune(std::uint32_t frequencyKhz) = 0;
    // Up to out.size() samples, converted with broadcast::ReadSamples; returns
    // how many. Live sources wait for samples, but never much longer than
    // kIqReadWaitMs, and return 0 when nothing came or the connection is gone.
    // The file source returns at once: the caller paces it.
    virtual std::size_t Read(std::span<std::complex<float>> out) = 0;
    // For log lines: what the source is and where it is tuned.
    virtual std::string Describe() const = 0;
    // Why the last Tune failed or the last Read came back short; empty when
    // nothing went wrong. Read itself never logs, as it runs for every block.
    virtual std::string LastError() const = 0;
};

inline constexpr int kIqReadWaitMs = 1000;

// "file:DIR"          DIR/<kHz>.iq (u8) or DIR/<kHz>.cf32.iq (cf32), played in a loop
// "rtl_tcp:HOST:PORT" an rtl_tcp server (an IPv6 HOST in brackets)
// "rtlsdr[:INDEX]"    a dongle through librtlsdr, loaded when opened
// nullptr with error saying why: bad syntax, no folder, unreachable server or
// a server that does not speak rtl_tcp, no such dongle, library missing.
std::unique_ptr<IqSource> OpenIqSource(const std::string& setting, std::string& error);

}  // namespace devices
