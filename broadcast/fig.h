#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "broadcast/ensemble.h"

namespace broadcast {

// Fast information groups of types 0 (MCI and SI) and 1 (labels). A Fig is a complete FIG:
// header byte (type, length) and its data, at most 30 bytes so that it fits one FIB.
using Fig = std::vector<std::uint8_t>;
inline constexpr std::size_t kMaxFigSize = 30;
inline constexpr std::size_t kLabelSize = 16;

struct FigServiceComponent {
    std::uint8_t tmid = 0;          // 0 stream audio, 1 stream data, 3 packet data
    std::uint8_t type = 0;          // ASCTy or DSCTy (stream modes)
    std::uint8_t subChannelId = 0;  // stream modes
    std::uint16_t scid = 0;         // packet mode
    bool primary = false;
    bool operator==(const FigServiceComponent&) const = default;
};

struct FigService {
    std::uint32_t sid = 0;
    bool longSid = false;
    std::array<FigServiceComponent, 15> components{};
    std::size_t componentCount = 0;
    bool operator==(const FigService&) const = default;
};

// FIG 0/8: which component of a service a SCIdS names, by sub-channel (short form) or by SCId
// (long form, packet mode).
struct FigComponentLink {
    std::uint32_t sid = 0;
    std::uint8_t scids = 0;
    bool longForm = false;
    std::uint8_t subChannelId = 0;  // short form
    std::uint16_t scid = 0;         // long form
    bool operator==(const FigComponentLink&) const = default;
};

struct FigPacketComponent {
    std::uint16_t scid = 0;
    bool dataGroups = true;
    std::uint8_t dscty = 0;
    std::uint8_t subChannelId = 0;
    std::uint16_t packetAddress = 0;
    bool operator==(const FigPacketComponent&) const = default;
};

// FIG 0/10: the date and time (UTC) of the ensemble. The short form gives hours and minutes,
// the long form adds seconds and milliseconds.
struct FigDateTime {
    std::uint32_t mjd = 0;    // Modified Julian Date (17 bits); 40587 is 1970-01-01
    bool leapSecond = false;  // LSI: a leap second is due at the end of the current day
    bool rfa = false;         // once the confidence indicator; kept as sent
    bool longForm = false;
    std::uint8_t hours = 0;
    std::uint8_t minutes = 0;
    std::uint8_t seconds = 0;        // long form
    std::uint16_t milliseconds = 0;  // long form
    bool operator==(const FigDateTime&) const = default;
};

inline constexpr std::uint32_t kMjd1970 = 40587;

// Seconds since 1970-01-01 00:00 UTC (leap seconds not counted, as POSIX time).
std::int64_t UtcSeconds(const FigDateTime& time);
// The long form of a moment given in milliseconds since 1970-01-01 00:00 UTC; nothing for a
// moment before 1970 or beyond what 17 bits of MJD reach.
std::optional<FigDateTime> FigDateTimeAt(std::int64_t utcMilliseconds);

// Receives decoded FIG contents; the defaults ignore everything.
class FigSink {
  public:
    virtual ~FigSink() = default;
    virtual void OnEnsembleInfo(std::uint16_t /*eid*/, std::uint16_t /*cifCount*/) {}
    virtual void OnSubChannel(const SubChannel& /*subChannel*/) {}
    virtual void OnService(const FigService& /*service*/) {}
    virtual void OnPacketComponent(const FigPacketComponent& /*component*/) {}
    virtual void OnUserApplication(std::uint32_t /*sid*/, std::uint8_t /*scids*/,
                                   std::uint16_t /*type*/) {}
    // All user applications of one component as one FIG 0/13 entry lists them; an entry
    // replaces what an earlier one said about the same component.
    virtual void OnUserApplications(std::uint32_t sid, std::uint8_t scids,
                                    std::span<const std::uint16_t> types) {
        for (const std::uint16_t type : types) {
            OnUserApplication(sid, scids, type);
        }
    }
    virtual void OnComponentLink(const FigComponentLink& /*link*/) {}
    virtual void OnFecScheme(std::uint8_t /*subChannelId*/, std::uint8_t /*scheme*/) {}
    virtual void OnEnsembleLabel(std::uint16_t /*eid*/, std::string_view /*label*/) {}
    virtual void OnServiceLabel(std::uint32_t /*sid*/, std::string_view /*label*/) {}
    virtual void OnDateTime(const FigDateTime& /*time*/) {}
};

enum class FigError {
    None,
    TooShort,     // an entry runs past the FIG
    Unsupported,  // extension not decoded here (skipped, not an error for the FIB)
    Invalid,      // impossible values or flags: nothing reaches the sink
};

// figData is the FIG without its header byte. Labels reach the sink with trailing spaces removed.
// FIG 0 with the OE flag set (other ensembles) and MCI (extensions 0, 1, 2, 3, 8 and 14) of the
// next configuration (C/N set) are skipped: neither describes what is on air here and now.
// FIG 0/10 is only ever this ensemble's current time: with OE or C/N set, or with a time that
// cannot be (hours above 23, minutes or seconds above 59, milliseconds above 999), it is
// Invalid.
FigError ParseFig0(std::span<const std::uint8_t> figData, FigSink& sink);
FigError ParseFig1(std::span<const std::uint8_t> figData, FigSink& sink);

Fig EncodeFig0_0(std::uint16_t eid, std::uint16_t cifCount);
void AppendFig0_1(std::span<const SubChannel> subChannels, std::vector<Fig>& figs);
// Services of one SId width: 16-bit programme SIds, or 32-bit data SIds when longSids.
void AppendFig0_2(std::span<const Service> services, bool longSids, std::vector<Fig>& figs);
void AppendFig0_3(std::span<const Service> services, std::vector<Fig>& figs);
void AppendFig0_13(std::span<const Service> services, std::vector<Fig>& figs);
// FIG 0/8 for the secondary packet-mode components (long form, by SCId), so that a receiver can
// tie their FIG 0/13 entries to them.
void AppendFig0_8(std::span<const Service> services, std::vector<Fig>& figs);
// Sets the C/N (next configuration) and OE (other ensemble) flags of a FIG 0.
void SetFig0Flags(Fig& fig, bool next, bool otherEnsemble);
// FEC schemes of the sub-channels that carry packet-mode services.
void AppendFig0_14(const EnsembleDescription& ensemble, std::vector<Fig>& figs);
Fig EncodeFig0_10(const FigDateTime& time);
Fig EncodeFig1_0(std::uint16_t eid, std::string_view label);
Fig EncodeFig1_1(std::uint16_t sid, std::string_view label);
Fig EncodeFig1_5(std::uint32_t sid, std::string_view label);

// Packs entries of one FIG type 0 extension into as few FIGs as fit.
void PackFig0(std::uint8_t extension, bool longSids,
              const std::vector<std::vector<std::uint8_t>>& entries, std::vector<Fig>& figs);

}  // namespace broadcast
