#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "broadcast/packet.h"
#include "tests/support/decoder_harness.h"
#include "tests/support/msc_stream.h"

namespace {

using testsupport::Bytes;
using testsupport::DecoderHarness;
using testsupport::MscStream;

Bytes Pattern(std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 29);
    }
    return bytes;
}

// Data groups of 500 bytes of arbitrary payload on one address.
std::vector<Bytes> GroupBlocks(std::size_t groups, std::uint16_t address = 0x100) {
    MscStream stream(address);
    for (std::size_t i = 0; i < groups; ++i) {
        stream.Add(Pattern(500, static_cast<std::uint8_t>(i)));
    }
    return stream.Blocks();
}

class TdcDecoding : public ::testing::Test {
  protected:
    DecoderHarness m_harness;
};

TEST_F(TdcDecoding, StatesFollowInitStartAndStop) {
    EXPECT_EQ(GetTDCState(), 0);
    EXPECT_EQ(GetTpegQueue(), 0u);
    EXPECT_LE(StartTDCDecode(), 0) << "not initialised";
    ASSERT_NE(InitTDC(DecoderHarness::kServiceConfig), 0);
    EXPECT_NE(GetTpegQueue(), 0u);
    EXPECT_EQ(GetTDCState(), 1);
    EXPECT_GT(StartTDCDecode(), 0);
    EXPECT_EQ(GetTDCState(), 3);
    EXPECT_GT(StopTDCDecode(), 0);
    EXPECT_EQ(GetTDCState(), 2);
    EXPECT_GT(StartTDCDecode(), 0);
    EXPECT_EQ(GetTDCState(), 3);
    UninitTDC();
    EXPECT_EQ(GetTDCState(), 0);
}

TEST_F(TdcDecoding, InitRefusesConfigurationsItCannotHonour) {
    const std::uint32_t otherMode[3] = {0x20000, 0x4000, 2};
    const std::uint32_t tinyQueue[3] = {16, 0x4000, 1};
    const std::uint32_t tinyGroups[3] = {0x20000, 8, 1};
    EXPECT_EQ(InitTDC(nullptr), 0);
    EXPECT_EQ(InitTDC(otherMode), 0);
    EXPECT_EQ(InitTDC(tinyQueue), 0);
    EXPECT_EQ(InitTDC(tinyGroups), 0);
    EXPECT_EQ(GetTDCState(), 0);
}

TEST_F(TdcDecoding, DataBeforeInitOrWhileNotStartedIsCountedAndIgnored) {
    const auto blocks = GroupBlocks(4);
    m_harness.Feed(blocks);
    EXPECT_EQ(DecoderHarness::Tdc().ignoredBlocks, blocks.size());

    ASSERT_TRUE(m_harness.Init());
    m_harness.Feed(blocks);
    EXPECT_EQ(FillMSCData(0, 192, 3, 0), 0) << "no bytes";
    TdcCounters counters = DecoderHarness::Tdc();
    EXPECT_EQ(counters.ignoredBlocks, blocks.size() + 1);
    EXPECT_EQ(counters.packets, 0u);
    EXPECT_EQ(counters.queuedBytes, 0u);

    ASSERT_TRUE(m_harness.Start());
    m_harness.Feed(blocks);
    StopTDCDecode();
    m_harness.Feed(blocks);
    counters = DecoderHarness::Tdc();
    EXPECT_EQ(counters.dataGroups, 4u);
    EXPECT_EQ(counters.blocks, blocks.size());
    EXPECT_EQ(counters.ignoredBlocks, 2 * blocks.size() + 1);
}

TEST_F(TdcDecoding, FullQueueDropsWholeDataGroupsAndCounts) {
    const std::uint32_t smallQueue[3] = {1024, 0x4000, 1};
    ASSERT_NE(InitTDC(smallQueue), 0);
    ASSERT_GT(StartTDCDecode(), 0);
    // Nobody reads the queue: two 500-byte payloads fit, the rest cannot.
    m_harness.Feed(GroupBlocks(5));
    const TdcCounters counters = DecoderHarness::Tdc();
    EXPECT_EQ(counters.dataGroups, 5u);
    EXPECT_EQ(counters.queuedBytes, 1000u);
    EXPECT_EQ(counters.queueDrops, 3u);
}

TEST_F(TdcDecoding, FollowsTheFirstAddressWithGoodDataGroupsUntilItFallsSilent) {
    ASSERT_TRUE(m_harness.InitAndStart());
    // Address 0x200 sends only broken data groups, 0x100 good ones, then 0x101 too.
    MscStream stream(0x200);
    Bytes broken = stream.DataGroup(Pattern(300, 1));
    broken[10] ^= 0xFF;
    stream.AddDataGroupBytes(broken);
    stream.SetAddress(0x100);
    stream.Add(Pattern(300, 2));
    stream.SetAddress(0x101);
    stream.Add(Pattern(300, 3));
    m_harness.Feed(stream.Blocks());
    TdcCounters counters = DecoderHarness::Tdc();
    EXPECT_EQ(counters.followedAddress, 0x100u);
    EXPECT_EQ(counters.dataGroupErrors, 1u);
    EXPECT_EQ(counters.dataGroups, 1u) << "0x101 is ignored while 0x100 is followed";
    EXPECT_EQ(counters.queuedBytes, 300u);

    // Padding only: 0x100 falls silent and the next good address is taken up.
    MscStream silence;
    std::vector<Bytes> quiet(300, Bytes());
    for (Bytes& block : quiet) {
        broadcast::AppendPaddingPacket(192, block);
    }
    m_harness.Feed(quiet);
    MscStream other(0x101);
    other.Add(Pattern(300, 4));
    m_harness.Feed(other.Blocks());
    counters = DecoderHarness::Tdc();
    EXPECT_EQ(counters.followedAddress, 0x101u);
    EXPECT_EQ(counters.addressChanges, 2u);
    EXPECT_EQ(counters.queuedBytes, 600u);
}

TEST_F(TdcDecoding, PacketFecRepairsDamagedPackets) {
    ASSERT_TRUE(m_harness.InitAndStart());
    MscStream stream;
    for (int i = 0; i < 24; ++i) {
        stream.Add(Pattern(400, static_cast<std::uint8_t>(i)));
    }
    auto blocks = stream.Blocks(192, true);
    // Damage a few bytes in several blocks, within what RS(204,188) repairs, once the decoder
    // has seen FEC packets (the first table, before them, passes unprotected).
    for (std::size_t b = 16; b < blocks.size(); b += 7) {
        blocks[b][5] ^= 0x5A;
        blocks[b][60] ^= 0xA5;
    }
    m_harness.Feed(blocks);
    const TdcCounters counters = DecoderHarness::Tdc();
    EXPECT_GT(counters.fecTables, 0u);
    EXPECT_GT(counters.fecCorrectedBytes, 0u);
    EXPECT_EQ(counters.fecUncorrectable, 0u);
    EXPECT_EQ(counters.packetCrcErrors, 0u);
    EXPECT_EQ(counters.dataGroups, 24u);
    EXPECT_EQ(counters.queuedBytes, 24u * 400u);
}

TEST_F(TdcDecoding, GarbageBlocksNeverReachTheQueue) {
    ASSERT_TRUE(m_harness.InitAndStart());
    std::vector<Bytes> garbage;
    std::uint32_t seed = 12345;
    for (int b = 0; b < 200; ++b) {
        Bytes block(1 + static_cast<std::size_t>(b) * 7 % 400);
        for (std::uint8_t& byte : block) {
            seed = seed * 1103515245 + 12345;
            byte = static_cast<std::uint8_t>(seed >> 16);
        }
        garbage.push_back(std::move(block));
    }
    m_harness.Feed(garbage);
    m_harness.Feed(GroupBlocks(3));
    const TdcCounters counters = DecoderHarness::Tdc();
    EXPECT_GT(counters.packetCrcErrors, 0u);
    EXPECT_EQ(counters.queuedBytes, 1500u);
}

}  // namespace
