#include "broadcast/packet_fec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "broadcast/packet.h"

namespace {

using broadcast::FecStatus;

// 2256 bytes of whole packets: 23 data packets of 96 bytes and 2 padding packets.
std::vector<std::uint8_t> Table(std::uint8_t seed) {
    std::vector<std::uint8_t> table;
    std::uint8_t continuity = 0;
    std::vector<std::uint8_t> group(23 * 91);
    for (std::size_t i = 0; i < group.size(); ++i) {
        group[i] = static_cast<std::uint8_t>(seed + i * 13);
    }
    broadcast::AppendDataGroupPackets(group, 42, 96, continuity, table);
    broadcast::AppendPaddingPacket(24, table);
    broadcast::AppendPaddingPacket(24, table);
    return table;
}

std::vector<std::vector<std::uint8_t>> Packets(const std::vector<std::uint8_t>& stream) {
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::size_t at = 0; at < stream.size();) {
        const bool fec = ((stream[at] & 3) << 8 | stream[at + 1]) == broadcast::kFecPacketAddress;
        const std::size_t size = fec ? 24 : broadcast::PacketSizeOfCode(stream[at] >> 6);
        packets.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                             stream.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
    }
    return packets;
}

struct Released {
    std::vector<std::uint8_t> bytes;
    std::vector<FecStatus> statuses;
    std::size_t corrected = 0;
};

Released Decode(const std::vector<std::uint8_t>& stream) {
    broadcast::PacketFecDecoder decoder;
    Released out;
    for (const auto& packet : Packets(stream)) {
        const auto step = decoder.Push(packet);
        if (step.status != FecStatus::Pending) {
            out.statuses.push_back(step.status);
            out.bytes.insert(out.bytes.end(), step.released.begin(), step.released.end());
            out.corrected += step.correctedBytes;
        }
    }
    return out;
}

TEST(PacketFec, FecPacketsCarryTheParityOnAddress1022) {
    const auto table = Table(1);
    ASSERT_EQ(table.size(), broadcast::kFecApplicationTableSize);
    std::vector<std::uint8_t> fec;
    broadcast::AppendFecPackets(table, fec);
    ASSERT_EQ(fec.size(), 9u * 24u);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(fec[i * 24] >> 6, 0) << "length code";
        EXPECT_EQ((fec[i * 24] >> 2) & 0x0F, i) << "FEC packet counter";
        EXPECT_EQ(((fec[i * 24] & 3) << 8) | fec[i * 24 + 1], 1022);
    }
}

TEST(PacketFec, CorrectsDamagedPacketsOfATable) {
    const auto table = Table(2);
    std::vector<std::uint8_t> stream(table);
    broadcast::AppendFecPackets(table, stream);
    // Whole bursts inside packets: the column-wise table spreads them over the rows, up to
    // eight bytes per row are correctable.
    for (std::size_t i = 0; i < 90; ++i) {
        stream[100 + i] ^= 0x5A;
    }
    stream[1500] ^= 0xFF;
    const auto released = Decode(stream);
    EXPECT_EQ(released.statuses, std::vector<FecStatus>{FecStatus::Corrected});
    EXPECT_EQ(released.corrected, 91u);
    EXPECT_EQ(released.bytes, table);
    const auto packet = broadcast::ParsePacket(std::span(released.bytes).subspan(96));
    EXPECT_EQ(packet.error, broadcast::PacketError::None);
}

TEST(PacketFec, TooMuchDamageIsReportedAndPassedOn) {
    const auto table = Table(3);
    std::vector<std::uint8_t> stream(table);
    broadcast::AppendFecPackets(table, stream);
    for (std::size_t i = 0; i < 300; ++i) {
        stream[200 + i] ^= 0x33;
    }
    const auto released = Decode(stream);
    EXPECT_EQ(released.statuses, std::vector<FecStatus>{FecStatus::Uncorrectable});
    EXPECT_EQ(released.bytes.size(), table.size());
}

TEST(PacketFec, MissingFecPacketsReleaseTheTableUnprotected) {
    const auto first = Table(4);
    const auto second = Table(5);
    std::vector<std::uint8_t> stream(first);
    std::vector<std::uint8_t> fec;
    broadcast::AppendFecPackets(first, fec);
    stream.insert(stream.end(), fec.begin(), fec.begin() + 24 * 4);  // FEC packets 0-3 only
    stream.insert(stream.end(), second.begin(), second.end());
    broadcast::AppendFecPackets(second, stream);
    const auto released = Decode(stream);
    EXPECT_EQ(released.statuses,
              (std::vector<FecStatus>{FecStatus::Unprotected, FecStatus::Corrected}));
    std::vector<std::uint8_t> both(first);
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(released.bytes, both);
}

}  // namespace
