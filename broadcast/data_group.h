#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace broadcast {

// MSC data groups: a 2-byte header (with an optional 16-bit extension field), an optional
// session header (segment field, user access field), the data field and an optional CRC.
inline constexpr std::size_t kMaxDataGroupDataSize = 8191;
inline constexpr std::size_t kMaxDataGroupSize = 2 + 2 + 2 + 1 + 2 + 15 + kMaxDataGroupDataSize + 2;

struct DataGroupHeader {
    bool crc = true;
    std::uint8_t type = 0;
    std::uint8_t continuityIndex = 0;
    std::uint8_t repetitionIndex = 0;
    bool hasExtension = false;
    std::uint16_t extensionField = 0;
    bool hasSegment = false;
    bool lastSegment = true;
    std::uint16_t segmentNumber = 0;
    bool hasUserAccess = false;
    bool hasTransportId = false;
    std::uint16_t transportId = 0;
    std::span<const std::uint8_t> endUserAddress;  // at most 15 bytes, minus 2 with a transport id
};

enum class DataGroupError {
    None,
    TooShort,             // the headers announce more bytes than there are
    BadUserAccessLength,  // length indicator too small for the transport id it announces
    BadCrc,
};

const char* ToString(DataGroupError error);

struct DataGroupResult {
    DataGroupError error = DataGroupError::None;
    DataGroupHeader header;              // endUserAddress points into the input
    std::span<const std::uint8_t> data;  // the data field, inside the input
};

// Parses one complete data group (its size is known from the packets that carried it).
DataGroupResult ParseDataGroup(std::span<const std::uint8_t> bytes);

// Appends a data group with the given header fields around data (at most kMaxDataGroupDataSize).
void AppendDataGroup(const DataGroupHeader& header, std::span<const std::uint8_t> data,
                     std::vector<std::uint8_t>& out);

}  // namespace broadcast
