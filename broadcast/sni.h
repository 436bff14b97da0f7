#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace broadcast {

// The service and network information component (SCID 0, AID 0) in the TPEG2 service framework
// encoding: component frame data = component count (1 byte), then per SNI component its id
// (1 byte), a 16-bit length and its content. Component 1 is the fast-tuning table (table
// version, character table, then 5 bytes per entry: SCID, flags, content id, 16-bit AID);
// component 0 holds the service name and description (length-prefixed strings).
inline constexpr std::uint8_t kSniScid = 0;
inline constexpr std::uint16_t kSniAid = 0;
inline constexpr std::uint8_t kSniFastTuningId = 1;
inline constexpr std::uint8_t kSniServiceNameId = 0;
inline constexpr std::uint8_t kSniSafetyFlag = 0x10;

struct SniFastTuningEntry {
    std::uint8_t scid = 0;
    std::uint8_t flags = 0;
    std::uint8_t contentId = 0;
    std::uint16_t aid = 0;
    friend bool operator==(const SniFastTuningEntry&, const SniFastTuningEntry&) = default;
};

struct SniTable {
    std::uint8_t version = 0;
    std::uint8_t characterTable = 0;
    std::vector<SniFastTuningEntry> entries;
    std::string serviceName;
    std::string serviceDescription;
    std::size_t components = 0;  // SNI components parsed, known or not

    // The AID of a SCID; SCID 0 is always the SNI itself.
    bool FindAid(std::uint8_t scid, std::uint16_t& aid) const;
};

enum class SniError {
    None,
    TooShort,       // a component runs past the data
    CountMismatch,  // the announced component count differs from the components present
    BadFastTuning,  // fast-tuning table not a whole number of entries
};

const char* ToString(SniError error);

// Parses the data of an SCID 0 component frame (data CRC already removed). Unknown components
// are counted and skipped.
SniError ParseSni(std::span<const std::uint8_t> data, SniTable& out);

// Appends the data of an SCID 0 component frame: fast-tuning table, and the service name
// component when serviceName is not empty.
void AppendSni(const SniTable& table, std::vector<std::uint8_t>& out);

}  // namespace broadcast
