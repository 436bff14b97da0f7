#include "broadcast/data_group.h"

#include "broadcast/bytes.h"
#include "broadcast/crc.h"

namespace broadcast {

const char* ToString(DataGroupError error) {
    switch (error) {
        case DataGroupError::None:
            return "none";
        case DataGroupError::TooShort:
            return "data group shorter than its headers";
        case DataGroupError::BadUserAccessLength:
            return "user access field too short for its transport id";
        case DataGroupError::BadCrc:
            return "data group CRC mismatch";
    }
    return "unknown";
}

DataGroupResult ParseDataGroup(std::span<const std::uint8_t> bytes) {
    DataGroupResult result;
    DataGroupHeader& h = result.header;
    if (bytes.size() < 2) {
        result.error = DataGroupError::TooShort;
        return result;
    }
    h.hasExtension = (bytes[0] & 0x80) != 0;
    h.crc = (bytes[0] & 0x40) != 0;
    h.hasSegment = (bytes[0] & 0x20) != 0;
    h.hasUserAccess = (bytes[0] & 0x10) != 0;
    h.type = bytes[0] & 0x0F;
    h.continuityIndex = bytes[1] >> 4;
    h.repetitionIndex = bytes[1] & 0x0F;
    std::size_t at = 2;
    const std::size_t crcSize = h.crc ? 2 : 0;
    auto need = [&](std::size_t n) { return bytes.size() >= at + n + crcSize; };
    if (h.hasExtension) {
        if (!need(2)) {
            result.error = DataGroupError::TooShort;
            return result;
        }
        h.extensionField = ReadU16(bytes, at);
        at += 2;
    }
    if (h.hasSegment) {
        if (!need(2)) {
            result.error = DataGroupError::TooShort;
            return result;
        }
        h.lastSegment = (bytes[at] & 0x80) != 0;
        h.segmentNumber = ReadU16(bytes, at) & 0x7FFF;
        at += 2;
    }
    if (h.hasUserAccess) {
        if (!need(1)) {
            result.error = DataGroupError::TooShort;
            return result;
        }
        h.hasTransportId = (bytes[at] & 0x10) != 0;
        std::size_t length = bytes[at] & 0x0F;
        ++at;
        if (!need(length)) {
            result.error = DataGroupError::TooShort;
            return result;
        }
        if (h.hasTransportId) {
            if (length < 2) {
                result.error = DataGroupError::BadUserAccessLength;
                return result;
            }
            h.transportId = ReadU16(bytes, at);
            at += 2;
            length -= 2;
        }
        h.endUserAddress = bytes.subspan(at, length);
        at += length;
    }
    if (bytes.size() < at + crcSize) {
        result.error = DataGroupError::TooShort;
        return result;
    }
    if (h.crc) {
        const std::size_t crcAt = bytes.size() - 2;
        if (Crc16(bytes.first(crcAt)) != ReadU16(bytes, crcAt)) {
            result.error = DataGroupError::BadCrc;
            return result;
        }
    }
    result.data = bytes.subspan(at, bytes.size() - crcSize - at);
    return result;
}

void AppendDataGroup(const DataGroupHeader& header, std::span<const std::uint8_t> data,
                     std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    AppendU8(out, (header.hasExtension ? 0x80 : 0) | (header.crc ? 0x40 : 0) |
                      (header.hasSegment ? 0x20 : 0) | (header.hasUserAccess ? 0x10 : 0) |
                      (header.type & 0x0F));
    AppendU8(out, ((header.continuityIndex & 0x0F) << 4) | (header.repetitionIndex & 0x0F));
    if (header.hasExtension) {
        AppendU16(out, header.extensionField);
    }
    if (header.hasSegment) {
        AppendU16(out, (header.lastSegment ? 0x8000 : 0) | (header.segmentNumber & 0x7FFF));
    }
    if (header.hasUserAccess) {
        const std::size_t length = (header.hasTransportId ? 2 : 0) + header.endUserAddress.size();
        AppendU8(out, (header.hasTransportId ? 0x10 : 0) | (length & 0x0F));
        if (header.hasTransportId) {
            AppendU16(out, header.transportId);
        }
        AppendBytes(out, header.endUserAddress);
    }
    AppendBytes(out, data);
    if (header.crc) {
        AppendU16(out, Crc16(std::span(out).subspan(start)));
    }
}

}  // namespace broadcast
