// The rtl_tcp client. The server starts with a 12-byte header ("RTL0", the
// tuner type and the number of gain steps, both u32 big-endian), then sends u8
// IQ pairs for as long as the connection lasts; it takes 5-byte commands: a
// command byte and a u32 big-endian parameter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "devices/iq_source.h"
#include "devices/unique_fd.h"

namespace devices {

inline constexpr std::size_t kRtlTcpHeaderSize = 12;

enum RtlTcpCommand : std::uint8_t {
    kRtlTcpSetFrequency = 0x01,   // Hz
    kRtlTcpSetSampleRate = 0x02,  // samples per second
    kRtlTcpSetGainMode = 0x03,    // 0 automatic, 1 manual
    kRtlTcpSetGain = 0x04,        // tenths of a dB
    kRtlTcpSetAgcMode = 0x08,     // the demodulator's AGC: 0 off, 1 on
};

struct RtlTcpHeader {
    std::uint32_t tunerType = 0;
    std::uint32_t gainCount = 0;
};

// False with error when the bytes are not an rtl_tcp header.
bool ParseRtlTcpHeader(std::span<const std::uint8_t> bytes, RtlTcpHeader& header,
                       std::string& error);
std::array<std::uint8_t, 5> EncodeRtlTcpCommand(RtlTcpCommand command, std::uint32_t parameter);

// Connects to HOST:PORT, checks the header and sets the sample rate and
// automatic gain. A later Tune connects again when the server went away.
std::unique_ptr<IqSource> OpenRtlTcpSource(const std::string& host, const std::string& port,
                                           std::string& error);
// The same on a socket already connected to a server; without an address to
// go back to, Tune fails once the connection is gone.
std::unique_ptr<IqSource> OpenRtlTcpSourceOnSocket(UniqueFd socket, std::string& error);

}  // namespace devices
