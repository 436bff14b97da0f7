#include "broadcast/packet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "broadcast/crc.h"

namespace {

using broadcast::PacketError;

TEST(Packet, HeaderFieldsSitWhereTheStandardPutsThem) {
    broadcast::PacketHeader header;
    header.size = 48;
    header.continuityIndex = 2;
    header.first = true;
    header.last = false;
    header.address = 0x2A5;
    header.command = false;
    const std::vector<std::uint8_t> useful{0xDE, 0xAD, 0xBE};
    std::vector<std::uint8_t> packet;
    broadcast::AppendPacket(header, useful, packet);

    ASSERT_EQ(packet.size(), 48u);
    // length 01, continuity 10, first 1, last 0, address bits 9-8 = 10
    EXPECT_EQ(packet[0], 0b01'10'1'0'10);
    EXPECT_EQ(packet[1], 0xA5);
    EXPECT_EQ(packet[2], 3);  // command 0, useful data length 3
    EXPECT_EQ(packet[3], 0xDE);
    EXPECT_EQ(packet[5], 0xBE);
    for (std::size_t i = 6; i < 46; ++i) {
        ASSERT_EQ(packet[i], 0) << "padding byte " << i;
    }
    const std::uint16_t crc = broadcast::Crc16(std::span(packet).first(46));
    EXPECT_EQ(packet[46], crc >> 8);
    EXPECT_EQ(packet[47], crc & 0xFF);
}

TEST(Packet, RoundTripsEverySizeAndFullUsefulLength) {
    for (const std::size_t size : {24u, 48u, 72u, 96u}) {
        std::vector<std::uint8_t> useful(broadcast::MaxUsefulLength(size));
        for (std::size_t i = 0; i < useful.size(); ++i) {
            useful[i] = static_cast<std::uint8_t>(i + size);
        }
        broadcast::PacketHeader header;
        header.size = size;
        header.address = 1023;
        header.continuityIndex = 3;
        header.command = true;
        std::vector<std::uint8_t> packet;
        broadcast::AppendPacket(header, useful, packet);
        packet.push_back(0x77);  // the next packet's byte must not be taken

        const auto result = broadcast::ParsePacket(packet);
        ASSERT_EQ(result.error, PacketError::None) << size;
        EXPECT_EQ(result.size, size);
        EXPECT_EQ(result.packet.header.address, 1023);
        EXPECT_EQ(result.packet.header.continuityIndex, 3);
        EXPECT_TRUE(result.packet.header.command);
        EXPECT_EQ(
            std::vector<std::uint8_t>(result.packet.useful.begin(), result.packet.useful.end()),
            useful);
    }
}

TEST(Packet, DamageIsReportedWithTheSizeToStepOver) {
    broadcast::PacketHeader header;
    header.size = 72;
    header.address = 5;
    std::vector<std::uint8_t> packet;
    broadcast::AppendPacket(header, std::vector<std::uint8_t>(10, 1), packet);

    auto flipped = packet;
    flipped[30] ^= 0x10;
    const auto bad = broadcast::ParsePacket(flipped);
    EXPECT_EQ(bad.error, PacketError::BadCrc);
    EXPECT_EQ(bad.size, 72u);

    EXPECT_EQ(broadcast::ParsePacket(std::span(packet).first(71)).error, PacketError::TooShort);
    EXPECT_EQ(broadcast::ParsePacket({}).error, PacketError::TooShort);
}

TEST(Packet, UsefulLengthLargerThanThePacketIsRejectedEvenWithAGoodCrc) {
    std::vector<std::uint8_t> packet(24, 0);
    packet[0] = 0x0C;  // 24 bytes, first and last
    packet[1] = 7;
    packet[2] = 20;  // only 19 useful bytes fit
    const std::uint16_t crc = broadcast::Crc16(std::span(packet).first(22));
    packet[22] = crc >> 8;
    packet[23] = crc & 0xFF;
    EXPECT_EQ(broadcast::ParsePacket(packet).error, PacketError::UsefulLengthTooLarge);
}

TEST(Packet, DataGroupSplitsIntoFullPacketsAndASmallLastOne) {
    std::vector<std::uint8_t> group(200);
    for (std::size_t i = 0; i < group.size(); ++i) {
        group[i] = static_cast<std::uint8_t>(i);
    }
    std::uint8_t continuity = 3;
    std::vector<std::uint8_t> stream;
    broadcast::AppendDataGroupPackets(group, 300, 96, continuity, stream);
    // 91 + 91 useful bytes, then 18 in a 24-byte packet.
    ASSERT_EQ(stream.size(), 96u + 96u + 24u);
    EXPECT_EQ(continuity, 2);

    std::vector<std::uint8_t> joined;
    std::vector<int> flags;
    std::span<const std::uint8_t> rest(stream);
    while (!rest.empty()) {
        const auto result = broadcast::ParsePacket(rest);
        ASSERT_EQ(result.error, PacketError::None);
        joined.insert(joined.end(), result.packet.useful.begin(), result.packet.useful.end());
        flags.push_back(result.packet.header.first * 2 + result.packet.header.last);
        rest = rest.subspan(result.size);
    }
    EXPECT_EQ(joined, group);
    EXPECT_EQ(flags, (std::vector<int>{2, 0, 1}));
}

TEST(Packet, SinglePacketDataGroupKeepsAllItsUsefulBytes) {
    const std::vector<std::uint8_t> group(40, 0xA5);
    std::uint8_t continuity = 0;
    std::vector<std::uint8_t> stream;
    broadcast::AppendDataGroupPackets(group, 9, 96, continuity, stream);
    ASSERT_EQ(stream.size(), 48u);
    const auto result = broadcast::ParsePacket(stream);
    ASSERT_EQ(result.error, PacketError::None);
    EXPECT_TRUE(result.packet.header.first);
    EXPECT_TRUE(result.packet.header.last);
    EXPECT_EQ(result.packet.header.usefulLength, 40);
    EXPECT_EQ(result.packet.useful.size(), 40u);
}

TEST(Packet, PaddingPacketIsAddressZeroWithoutUsefulData) {
    std::vector<std::uint8_t> stream;
    broadcast::AppendPaddingPacket(24, stream);
    const auto result = broadcast::ParsePacket(stream);
    ASSERT_EQ(result.error, PacketError::None);
    EXPECT_EQ(result.packet.header.address, broadcast::kPaddingPacketAddress);
    EXPECT_TRUE(result.packet.useful.empty());
}

}  // namespace
