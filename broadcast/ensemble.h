#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace broadcast {

// What the FIC says about an ensemble, as the FIC encoder takes it and the FIC decoder
// accumulates it. Sizes are in capacity units (CU, 64 bits per 24 ms frame).
struct SubChannel {
    std::uint8_t id = 0;
    std::uint16_t startAddress = 0;
    std::uint16_t sizeCu = 0;
    bool shortForm = false;            // UEP by table index; otherwise EEP by option and level
    std::uint8_t tableIndex = 0;       // short form
    std::uint8_t option = 0;           // long form: 0 EEP-A, 1 EEP-B
    std::uint8_t protectionLevel = 0;  // UEP 1..5, EEP 1..4
    std::uint16_t bitrate = 0;         // kbit/s
    std::uint8_t fecScheme = 0;        // FIG 0/14: 1 = packet-mode Reed-Solomon FEC

    // 64-bit words per 24 ms frame (the ETI stream length).
    std::uint16_t StreamLengthWords() const { return static_cast<std::uint16_t>(bitrate * 3 / 8); }

    bool operator==(const SubChannel&) const = default;
};

// Sub-channel from a UEP table index (short form); size, level and bitrate follow from it.
SubChannel UepSubChannel(std::uint8_t id, std::uint16_t startAddress, std::uint8_t tableIndex);
// Sub-channel in EEP (long form): bitrate in kbit/s (a multiple of 8, of 32 for EEP-B).
SubChannel EepSubChannel(std::uint8_t id, std::uint16_t startAddress, std::uint16_t bitrate,
                         std::uint8_t protectionLevel, std::uint8_t option = 0);
// Completes size and bitrate of a sub-channel decoded from FIG 0/1; false for unknown coding.
bool CompleteSubChannel(SubChannel& subChannel);

enum class ServiceKind { Audio, Video, Data };

// A 32-bit data service identifier: extended country code (8 bits), country id (4 bits),
// service reference (20 bits).
constexpr std::uint32_t MakeDataSid(std::uint8_t ecc, std::uint8_t country,
                                    std::uint32_t reference) {
    return (std::uint32_t{ecc} << 24) | (std::uint32_t{country & 0x0Fu} << 20) |
           (reference & 0xFFFFF);
}

inline constexpr std::uint8_t kAsctyMpegLayer2 = 0;
inline constexpr std::uint8_t kAsctyHeAac = 63;
inline constexpr std::uint8_t kDsctyTdc = 5;
inline constexpr std::uint8_t kDsctyMpeg2Ts = 24;
inline constexpr std::uint16_t kUserApplicationTpeg = 0x004;

struct Service {
    std::uint32_t sid = 0;
    bool longSid = false;  // 32-bit data service identifier (ECC, country, reference)
    std::string label;
    ServiceKind kind = ServiceKind::Audio;
    std::uint8_t subChannelId = 0;
    std::uint8_t componentType = 0;  // ASCTy for audio, DSCTy otherwise
    bool packetMode = false;
    std::uint16_t serviceComponentId = 0;  // SCId, packet mode
    std::uint16_t packetAddress = 0;
    bool dataGroups = true;
    std::uint16_t userApplication = 0;  // 0 when none is signalled
    // 0: the service's primary component. Otherwise this entry is a secondary packet-mode
    // component (SCIdS) of the service listed under the same SId, e.g. TPEG beside a
    // programme's audio.
    std::uint8_t scids = 0;
};

struct EnsembleDescription {
    std::uint16_t eid = 0;
    std::string label;
    std::vector<SubChannel> subChannels;
    std::vector<Service> services;

    const SubChannel* FindSubChannel(std::uint8_t id) const;
    // The service's primary component.
    const Service* FindService(std::uint32_t sid) const;
    // The component of the service carried in that sub-channel, the primary one when none is.
    const Service* FindComponent(std::uint32_t sid, std::uint8_t subChannelId) const;
};

}  // namespace broadcast
