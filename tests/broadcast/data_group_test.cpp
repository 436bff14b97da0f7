#include "broadcast/data_group.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "broadcast/crc.h"
#include "broadcast/data_group_assembler.h"
#include "broadcast/packet.h"

namespace {

using broadcast::AssemblyStatus;
using broadcast::DataGroupError;

std::vector<std::uint8_t> Bytes(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return bytes;
}

std::vector<std::uint8_t> Group(std::size_t dataSize, std::uint8_t seed) {
    broadcast::DataGroupHeader header;
    header.continuityIndex = seed & 0x0F;
    std::vector<std::uint8_t> group;
    broadcast::AppendDataGroup(header, Bytes(dataSize, seed), group);
    return group;
}

// Each packet of the stream as its own byte vector.
std::vector<std::vector<std::uint8_t>> Packets(const std::vector<std::uint8_t>& stream) {
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t size = broadcast::PacketSizeOfCode(stream[at] >> 6);
        packets.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                             stream.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
    }
    return packets;
}

broadcast::AssemblyResult Feed(broadcast::DataGroupAssembler& assembler,
                               const std::vector<std::uint8_t>& packet) {
    const auto parsed = broadcast::ParsePacket(packet);
    EXPECT_EQ(parsed.error, broadcast::PacketError::None);
    return assembler.Push(parsed.packet);
}

TEST(DataGroup, HeaderAndSessionHeaderFieldsAsLaidDown) {
    broadcast::DataGroupHeader header;
    header.crc = true;
    header.type = 3;
    header.continuityIndex = 9;
    header.repetitionIndex = 2;
    header.hasSegment = true;
    header.lastSegment = true;
    header.segmentNumber = 0x123;
    header.hasUserAccess = true;
    header.hasTransportId = true;
    header.transportId = 0xBEEF;
    const std::vector<std::uint8_t> address{0x11, 0x22};
    header.endUserAddress = address;
    const std::vector<std::uint8_t> data{0xAA, 0xBB};
    std::vector<std::uint8_t> group;
    broadcast::AppendDataGroup(header, data, group);

    const std::vector<std::uint8_t> expected{
        0b0111'0011,        // no extension, CRC, segment, user access, type 3
        0x92,               // continuity 9, repetition 2
        0x81,        0x23,  // last segment, segment number 0x123
        0x14,               // transport id flag, length indicator 4
        0xBE,        0xEF, 0x11, 0x22, 0xAA, 0xBB};
    ASSERT_EQ(group.size(), expected.size() + 2);
    EXPECT_EQ(std::vector<std::uint8_t>(group.begin(), group.end() - 2), expected);
    const std::uint16_t crc = broadcast::Crc16(expected);
    EXPECT_EQ(group[group.size() - 2], crc >> 8);
    EXPECT_EQ(group.back(), crc & 0xFF);

    const auto parsed = broadcast::ParseDataGroup(group);
    ASSERT_EQ(parsed.error, DataGroupError::None);
    EXPECT_EQ(parsed.header.type, 3);
    EXPECT_EQ(parsed.header.segmentNumber, 0x123);
    EXPECT_EQ(parsed.header.transportId, 0xBEEF);
    EXPECT_EQ(std::vector<std::uint8_t>(parsed.header.endUserAddress.begin(),
                                        parsed.header.endUserAddress.end()),
              address);
    EXPECT_EQ(std::vector<std::uint8_t>(parsed.data.begin(), parsed.data.end()), data);
}

TEST(DataGroup, ExtensionFieldAndNoCrcRoundTrip) {
    broadcast::DataGroupHeader header;
    header.crc = false;
    header.hasExtension = true;
    header.extensionField = 0x4321;
    std::vector<std::uint8_t> group;
    broadcast::AppendDataGroup(header, Bytes(5, 1), group);
    ASSERT_EQ(group.size(), 2u + 2u + 5u);
    const auto parsed = broadcast::ParseDataGroup(group);
    ASSERT_EQ(parsed.error, DataGroupError::None);
    EXPECT_EQ(parsed.header.extensionField, 0x4321);
    EXPECT_EQ(parsed.data.size(), 5u);
}

TEST(DataGroup, CorruptOrTruncatedGroupsAreReported) {
    auto group = Group(30, 4);
    group[10] ^= 1;
    EXPECT_EQ(broadcast::ParseDataGroup(group).error, DataGroupError::BadCrc);

    const std::vector<std::uint8_t> userAccessPastEnd{0x10, 0x00, 0x0F, 0x01};
    EXPECT_EQ(broadcast::ParseDataGroup(userAccessPastEnd).error, DataGroupError::TooShort);
    const std::vector<std::uint8_t> transportIdWithoutRoom{0x10, 0x00, 0x11, 0x01};
    EXPECT_EQ(broadcast::ParseDataGroup(transportIdWithoutRoom).error,
              DataGroupError::BadUserAccessLength);
}

TEST(DataGroupAssembler, ReassemblesGroupsOverManyPackets) {
    const auto group = Group(500, 3);
    std::uint8_t continuity = 0;
    std::vector<std::uint8_t> stream;
    broadcast::AppendDataGroupPackets(group, 77, 48, continuity, stream);
    broadcast::DataGroupAssembler assembler(77);
    const auto packets = Packets(stream);
    for (std::size_t i = 0; i + 1 < packets.size(); ++i) {
        ASSERT_EQ(Feed(assembler, packets[i]).status, AssemblyStatus::Pending);
    }
    const auto done = Feed(assembler, packets.back());
    ASSERT_EQ(done.status, AssemblyStatus::Complete);
    EXPECT_EQ(std::vector<std::uint8_t>(done.dataGroup.begin(), done.dataGroup.end()), group);
    EXPECT_EQ(broadcast::ParseDataGroup(done.dataGroup).error, DataGroupError::None);
}

TEST(DataGroupAssembler, ContinuityGapInsideAGroupNeverSplicesTwoGroups) {
    std::uint8_t continuity = 0;
    std::vector<std::uint8_t> stream;
    broadcast::AppendDataGroupPackets(Group(250, 1), 8, 96, continuity, stream);
    broadcast::AppendDataGroupPackets(Group(250, 2), 8, 96, continuity, stream);
    broadcast::AppendDataGroupPackets(Group(60, 3), 8, 96, continuity, stream);
    auto packets = Packets(stream);
    ASSERT_EQ(packets.size(), 7u);
    // Lose the end of the first group and the start of the second.
    packets.erase(packets.begin() + 2, packets.begin() + 4);

    broadcast::DataGroupAssembler assembler(8);
    std::vector<AssemblyStatus> statuses;
    std::vector<std::vector<std::uint8_t>> groups;
    for (const auto& packet : packets) {
        const auto result = Feed(assembler, packet);
        statuses.push_back(result.status);
        if (result.status == AssemblyStatus::Complete) {
            groups.emplace_back(result.dataGroup.begin(), result.dataGroup.end());
        }
    }
    EXPECT_EQ(statuses, (std::vector<AssemblyStatus>{
                            AssemblyStatus::Pending, AssemblyStatus::Pending, AssemblyStatus::Gap,
                            AssemblyStatus::Orphan, AssemblyStatus::Complete}));
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0], Group(60, 3));
    EXPECT_EQ(assembler.DroppedGroups(), 1u);
}

TEST(DataGroupAssembler, LossOfFourPacketsIsCaughtByTheGroupCrc) {
    std::uint8_t continuity = 0;
    std::vector<std::uint8_t> stream;
    broadcast::AppendDataGroupPackets(Group(91 * 6, 5), 8, 96, continuity, stream);
    auto packets = Packets(stream);
    // The continuity index wraps after four packets, so only the CRC can tell.
    packets.erase(packets.begin() + 1, packets.begin() + 5);
    broadcast::DataGroupAssembler assembler(8);
    broadcast::AssemblyResult last;
    for (const auto& packet : packets) {
        last = Feed(assembler, packet);
    }
    ASSERT_EQ(last.status, AssemblyStatus::Complete);
    EXPECT_EQ(broadcast::ParseDataGroup(last.dataGroup).error, DataGroupError::BadCrc);
}

TEST(DataGroupAssembler, InterleavedAddressesEachGetTheirOwnGroup) {
    std::uint8_t continuityA = 0;
    std::uint8_t continuityB = 2;
    std::vector<std::uint8_t> a;
    std::vector<std::uint8_t> b;
    broadcast::AppendDataGroupPackets(Group(300, 10), 100, 72, continuityA, a);
    broadcast::AppendDataGroupPackets(Group(200, 20), 200, 72, continuityB, b);
    const auto packetsA = Packets(a);
    const auto packetsB = Packets(b);
    std::vector<std::vector<std::uint8_t>> mixed;
    for (std::size_t i = 0; i < std::max(packetsA.size(), packetsB.size()); ++i) {
        if (i < packetsB.size()) {
            mixed.push_back(packetsB[i]);
        }
        if (i < packetsA.size()) {
            mixed.push_back(packetsA[i]);
        }
    }
    broadcast::DataGroupAssembler assemblerA(100);
    broadcast::DataGroupAssembler assemblerB(200);
    std::vector<std::uint8_t> gotA;
    std::vector<std::uint8_t> gotB;
    for (const auto& packet : mixed) {
        if (const auto r = Feed(assemblerA, packet); r.status == AssemblyStatus::Complete) {
            gotA.assign(r.dataGroup.begin(), r.dataGroup.end());
        }
        if (const auto r = Feed(assemblerB, packet); r.status == AssemblyStatus::Complete) {
            gotB.assign(r.dataGroup.begin(), r.dataGroup.end());
        }
    }
    EXPECT_EQ(gotA, Group(300, 10));
    EXPECT_EQ(gotB, Group(200, 20));
    EXPECT_EQ(assemblerA.DroppedGroups() + assemblerB.DroppedGroups(), 0u);
}

TEST(DataGroupAssembler, NewFirstPacketAbandonsAnUnfinishedGroup) {
    std::uint8_t continuity = 0;
    std::vector<std::uint8_t> first;
    broadcast::AppendDataGroupPackets(Group(200, 1), 8, 96, continuity, first);
    std::vector<std::uint8_t> second;
    broadcast::AppendDataGroupPackets(Group(20, 2), 8, 96, continuity, second);
    broadcast::DataGroupAssembler assembler(8);
    EXPECT_EQ(Feed(assembler, Packets(first)[0]).status, AssemblyStatus::Pending);
    const auto result = Feed(assembler, second);
    ASSERT_EQ(result.status, AssemblyStatus::Complete);
    EXPECT_EQ(std::vector<std::uint8_t>(result.dataGroup.begin(), result.dataGroup.end()),
              Group(20, 2));
    EXPECT_EQ(assembler.DroppedGroups(), 1u);
}

}  // namespace
