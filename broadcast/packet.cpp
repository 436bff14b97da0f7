#include "broadcast/packet.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "broadcast/bytes.h"
#include "broadcast/crc.h"

namespace broadcast {

std::size_t PacketSizeOfCode(unsigned lengthCode) {
    return kMinPacketSize * ((lengthCode & 3) + 1);
}

unsigned PacketLengthCode(std::size_t packetSize) {
    switch (packetSize) {
        case 48:
            return 1;
        case 72:
            return 2;
        case 96:
            return 3;
        default:
            return 0;
    }
}

const char* ToString(PacketError error) {
    switch (error) {
        case PacketError::None:
            return "none";
        case PacketError::TooShort:
            return "packet truncated";
        case PacketError::UsefulLengthTooLarge:
            return "useful data length larger than the packet";
        case PacketError::BadCrc:
            return "packet CRC mismatch";
    }
    return "unknown";
}

PacketResult ParsePacket(std::span<const std::uint8_t> bytes) {
    PacketResult result;
    if (bytes.empty()) {
        result.error = PacketError::TooShort;
        return result;
    }
    PacketHeader& header = result.packet.header;
    header.size = PacketSizeOfCode(bytes[0] >> 6);
    result.size = header.size;
    if (bytes.size() < header.size) {
        result.error = PacketError::TooShort;
        return result;
    }
    header.continuityIndex = (bytes[0] >> 4) & 3;
    header.first = (bytes[0] & 0x08) != 0;
    header.last = (bytes[0] & 0x04) != 0;
    header.address = static_cast<std::uint16_t>(((bytes[0] & 3) << 8) | bytes[1]);
    header.command = (bytes[2] & 0x80) != 0;
    header.usefulLength = bytes[2] & 0x7F;
    const std::size_t crcAt = header.size - kPacketCrcSize;
    if (Crc16(bytes.first(crcAt)) != ReadU16(bytes, crcAt)) {
        result.error = PacketError::BadCrc;
        return result;
    }
    if (header.usefulLength > MaxUsefulLength(header.size)) {
        result.error = PacketError::UsefulLengthTooLarge;
        return result;
    }
    result.packet.useful = bytes.subspan(kPacketHeaderSize, header.usefulLength);
    return result;
}

void WritePacket(const PacketHeader& header, std::span<const std::uint8_t> useful,
                 std::span<std::uint8_t> out) {
    const std::size_t size = header.size;
    out[0] = static_cast<std::uint8_t>(
        (PacketLengthCode(size) << 6) | ((header.continuityIndex & 3) << 4) |
        (header.first ? 0x08 : 0) | (header.last ? 0x04 : 0) | ((header.address >> 8) & 3));
    out[1] = static_cast<std::uint8_t>(header.address);
    out[2] = static_cast<std::uint8_t>((header.command ? 0x80 : 0) | (useful.size() & 0x7F));
    if (!useful.empty()) {
        std::memcpy(out.data() + kPacketHeaderSize, useful.data(), useful.size());
    }
    std::memset(out.data() + kPacketHeaderSize + useful.size(), 0,
                size - kPacketHeaderSize - kPacketCrcSize - useful.size());
    const std::size_t crcAt = size - kPacketCrcSize;
    WriteU16(out, crcAt, Crc16(out.first(crcAt)));
}

void AppendPacket(const PacketHeader& header, std::span<const std::uint8_t> useful,
                  std::vector<std::uint8_t>& out) {
    const std::size_t at = out.size();
    out.resize(at + header.size);
    WritePacket(header, useful, std::span(out).subspan(at));
}

void AppendPaddingPacket(std::size_t size, std::vector<std::uint8_t>& out) {
    PacketHeader header;
    header.size = size;
    header.address = kPaddingPacketAddress;
    AppendPacket(header, {}, out);
}

void AppendDataGroupPackets(std::span<const std::uint8_t> dataGroup, std::uint16_t address,
                            std::size_t packetSize, std::uint8_t& continuityIndex,
                            std::vector<std::uint8_t>& out) {
    std::size_t offset = 0;
    do {
        const std::size_t remaining = dataGroup.size() - offset;
        std::size_t size = packetSize;
        if (remaining <= MaxUsefulLength(packetSize)) {
            size = kMinPacketSize;
            while (MaxUsefulLength(size) < remaining) {
                size += kMinPacketSize;
            }
        }
        const std::size_t take = std::min(remaining, MaxUsefulLength(size));
        PacketHeader header;
        header.size = size;
        header.continuityIndex = continuityIndex;
        header.first = offset == 0;
        header.last = offset + take == dataGroup.size();
        header.address = address;
        AppendPacket(header, dataGroup.subspan(offset, take), out);
        continuityIndex = (continuityIndex + 1) & 3;
        offset += take;
    } while (offset < dataGroup.size());
}

}  // namespace broadcast
