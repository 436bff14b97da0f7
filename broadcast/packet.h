#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace broadcast {

// DAB packet mode: packets of 24, 48, 72 or 96 bytes with a 3-byte header, a data field of
// useful bytes followed by zero padding, and a CRC over everything but the last two bytes.
inline constexpr std::size_t kPacketHeaderSize = 3;
inline constexpr std::size_t kPacketCrcSize = 2;
inline constexpr std::size_t kMinPacketSize = 24;
inline constexpr std::size_t kMaxPacketSize = 96;
inline constexpr std::uint16_t kPaddingPacketAddress = 0;
inline constexpr std::uint16_t kMaxPacketAddress = 1023;

// Packet size for a 2-bit length code, and the code of a size (sizes other than the four give 0).
std::size_t PacketSizeOfCode(unsigned lengthCode);
unsigned PacketLengthCode(std::size_t packetSize);

inline constexpr std::size_t MaxUsefulLength(std::size_t packetSize) {
    return packetSize - kPacketHeaderSize - kPacketCrcSize;
}

struct PacketHeader {
    std::size_t size = kMinPacketSize;
    std::uint8_t continuityIndex = 0;
    bool first = true;
    bool last = true;
    std::uint16_t address = 0;
    bool command = false;
    std::uint8_t usefulLength = 0;
};

enum class PacketError {
    None,
    TooShort,              // fewer bytes than the header's length code announces
    UsefulLengthTooLarge,  // useful data length exceeds the data field
    BadCrc,
};

const char* ToString(PacketError error);

struct PacketView {
    PacketHeader header;
    std::span<const std::uint8_t> useful;  // the useful data bytes, inside the input
};

// size is the packet length from the header whenever at least one byte was there, so a caller
// can step over a damaged packet in a sub-channel stream.
struct PacketResult {
    PacketError error = PacketError::None;
    std::size_t size = 0;
    PacketView packet;
};

// Parses the packet at the start of bytes; reads at most the announced packet size.
PacketResult ParsePacket(std::span<const std::uint8_t> bytes);

// Writes a complete packet of header.size bytes into out (at least that long). The useful
// length is taken from useful.size(), which must fit MaxUsefulLength(header.size).
void WritePacket(const PacketHeader& header, std::span<const std::uint8_t> useful,
                 std::span<std::uint8_t> out);

void AppendPacket(const PacketHeader& header, std::span<const std::uint8_t> useful,
                  std::vector<std::uint8_t>& out);

// A padding packet: address 0, no useful data, continuity index 0.
void AppendPaddingPacket(std::size_t size, std::vector<std::uint8_t>& out);

// Splits one data group into packets of one address: full packets of packetSize, the last one
// as small as the remaining bytes allow. continuityIndex is the address's running counter
// (modulo 4), advanced once per packet.
void AppendDataGroupPackets(std::span<const std::uint8_t> dataGroup, std::uint16_t address,
                            std::size_t packetSize, std::uint8_t& continuityIndex,
                            std::vector<std::uint8_t>& out);

}  // namespace broadcast
