#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "broadcast/packet.h"
#include "broadcast/tpeg_application.h"
#include "tests/support/decoder_harness.h"
#include "tests/support/msc_stream.h"

namespace {

using testsupport::Bytes;
using testsupport::DecoderHarness;
using testsupport::MessageFrames;
using testsupport::MscStream;

constexpr std::size_t kSdi = 1;

Bytes Content() {
    Bytes content(700);
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
    return content;
}

// Every case sends the messages twice and damages the first copy at one layer. The file ends up
// whole, from the second copy; when the messages went in one frame it is written exactly once,
// otherwise the undamaged messages of the first copy may be written before.
class DamageRecovery : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_harness.InitAndStart());
        m_stream.Add(testsupport::SniFrame());
        m_damagedAt = m_stream.Packets().size();
    }

    void AddFirstCopy() { m_stream.AddAll(MessageFrames(kSdi, 1, Content())); }
    // One message to a frame, four frames.
    static std::vector<Bytes> SeparateFrames() {
        return MessageFrames(kSdi, 1, Content(), 200, 200);
    }

    void FinishAndExpectTheWholeFile(bool once = true) {
        m_stream.AddAll(MessageFrames(kSdi, 1, Content()));
        m_harness.Feed(m_stream.Blocks());
        ASSERT_TRUE(m_harness.WaitForEvents(1));
        ASSERT_TRUE(DecoderHarness::WaitForIdle());
        const auto events = m_harness.Events();
        if (once) {
            ASSERT_EQ(events.size(), 1u);
        }
        EXPECT_EQ(events.back().code, broadcast::TpegApplications()[kSdi].eventCode);
        EXPECT_EQ(events.back().file, testsupport::MessageFile(kSdi, 1, Content()));
    }

    std::size_t PacketSizeAt(std::size_t at) {
        return broadcast::PacketSizeOfCode(m_stream.Packets()[at] >> 6);
    }

    DecoderHarness m_harness;
    MscStream m_stream;
    std::size_t m_damagedAt = 0;
};

TEST_F(DamageRecovery, PacketCrcError) {
    AddFirstCopy();
    m_stream.Packets()[m_damagedAt + 40] ^= 0x10;
    FinishAndExpectTheWholeFile();
    EXPECT_EQ(DecoderHarness::Tdc().packetCrcErrors, 1u);
}

TEST_F(DamageRecovery, DamagedLengthCodeCostsOnlyItsPacket) {
    AddFirstCopy();
    const Bytes& packets = m_stream.Packets();
    const Bytes first(packets.begin() + static_cast<std::ptrdiff_t>(m_damagedAt),
                      packets.begin() + static_cast<std::ptrdiff_t>(m_damagedAt + 96));
    m_stream.AddAll(MessageFrames(kSdi, 1, Content()));
    // Damaged after the cut into blocks: the walk, not the cut, must cope with it.
    auto blocks = m_stream.Blocks();
    bool damaged = false;
    for (Bytes& block : blocks) {
        const auto it = std::search(block.begin(), block.end(), first.begin(), first.end());
        if (it != block.end()) {
            *it ^= 0xC0;
            damaged = true;
            break;
        }
    }
    ASSERT_TRUE(damaged);
    m_harness.Feed(blocks);
    ASSERT_TRUE(m_harness.WaitForEvents(1));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());
    ASSERT_EQ(m_harness.Events().size(), 1u);
    EXPECT_EQ(m_harness.Events()[0].file, testsupport::MessageFile(kSdi, 1, Content()));
    const TdcCounters counters = DecoderHarness::Tdc();
    EXPECT_EQ(counters.packetCrcErrors, 1u);
    EXPECT_EQ(counters.skippedBytes, 96u);
}

TEST_F(DamageRecovery, ContinuityGap) {
    AddFirstCopy();
    Bytes& packets = m_stream.Packets();
    const std::size_t second = m_damagedAt + PacketSizeAt(m_damagedAt);
    packets.erase(packets.begin() + static_cast<std::ptrdiff_t>(second),
                  packets.begin() + static_cast<std::ptrdiff_t>(second + PacketSizeAt(second)));
    FinishAndExpectTheWholeFile();
    const TdcCounters counters = DecoderHarness::Tdc();
    EXPECT_EQ(counters.continuityBreaks, 1u);
    EXPECT_EQ(counters.dataGroupsLost, 1u);
    EXPECT_EQ(counters.packetCrcErrors, 0u);
}

TEST_F(DamageRecovery, LostFramesEndThePartialDataGroup) {
    // One data group of nine packets from block 1 on; blocks 2 and 3 (four packets) are lost,
    // which leaves the continuity index where it was: only the frame counter tells.
    m_stream.AddAll(MessageFrames(kSdi, 1, Content(), 1000));
    const auto blocks = m_stream.Blocks();
    ASSERT_GE(blocks.size(), 6u);
    m_harness.Feed({blocks.begin(), blocks.begin() + 2});
    m_harness.SkipFrames(2);
    m_harness.Feed({blocks.begin() + 4, blocks.end()});
    m_stream = MscStream();
    FinishAndExpectTheWholeFile();
    EXPECT_EQ(DecoderHarness::Tdc().dataGroupErrors, 0u);
}

TEST_F(DamageRecovery, DataGroupCrcError) {
    const auto frames = SeparateFrames();
    Bytes group = m_stream.DataGroup(frames[1]);
    group[group.size() / 2] ^= 0x01;
    m_stream.Add(frames[0]);
    m_stream.AddDataGroupBytes(group);
    m_stream.Add(frames[2]);
    m_stream.Add(frames[3]);
    FinishAndExpectTheWholeFile(false);
    EXPECT_EQ(DecoderHarness::Tdc().dataGroupErrors, 1u);
}

TEST_F(DamageRecovery, TransportFrameGarbage) {
    const auto frames = SeparateFrames();
    Bytes garbage(333);
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = static_cast<std::uint8_t>(i % 7 == 0 ? 0xFF : i * 31);
    }
    Bytes truncated(frames[1].begin(), frames[1].begin() + 60);
    Bytes badContent = frames[2];
    badContent[badContent.size() - 1] ^= 0x80;
    m_stream.Add(frames[0]);
    m_stream.Add(garbage);
    m_stream.Add(truncated);
    m_stream.Add(badContent);
    m_stream.Add(frames[3]);
    FinishAndExpectTheWholeFile(false);
    const TpegCounters counters = DecoderHarness::Tpeg();
    EXPECT_GE(counters.skippedBytes, garbage.size() + truncated.size());
    EXPECT_GE(counters.frameContentErrors, 1u);
    EXPECT_EQ(DecoderHarness::Tdc().dataGroupErrors, 0u) << "the damage is inside TPEG only";
}

}  // namespace
