#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "broadcast/msc_data_path.h"
#include "broadcast/tpeg_application.h"
#include "broadcast/tpeg_message.h"
#include "broadcast/tpeg_message_store.h"
#include "tests/support/decoder_harness.h"
#include "tests/support/msc_stream.h"

namespace {

using testsupport::Bytes;
using testsupport::DecoderHarness;

constexpr std::size_t kRtm = 4;

// A head unit whose clock runs two days ahead of the ensemble: a message the broadcaster
// sends until a day before the system clock's now is still current on air.
TEST(BroadcastTime, ExpiryIsJudgedAgainstTheEnsemblesTimeOnceATimeBlockBroughtIt) {
    const std::int64_t system = std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    const std::int64_t onAir = system - 2 * 86400;
    broadcast::MessageManagement mmc;
    mmc.messageId = 1;
    mmc.versionId = 1;
    mmc.expiryTime = static_cast<std::uint32_t>(system - 86400);
    const Bytes body{'j', 'a', 'm'};
    Bytes data{1};
    broadcast::AppendTpegMessage(0, mmc, body, data);
    testsupport::MscStream stream;
    stream.Add(testsupport::SniFrame());
    stream.Add(testsupport::TransportFrame(static_cast<std::uint8_t>(kRtm + 1), data));
    // One packet a block, so that the data groups span blocks.
    const std::vector<Bytes> blocks = stream.Blocks(96);
    ASSERT_GE(blocks.size(), 2u);
    const auto time = broadcast::EncodeTimeBlock(onAir);
    const auto wrongSize = broadcast::EncodeTimeBlock(system + 86400);

    for (const bool withTime : {false, true}) {
        SCOPED_TRACE(withTime ? "with the ensemble's time" : "without");
        DecoderHarness harness;
        ASSERT_TRUE(harness.InitAndStart());
        // Between two blocks of one data group, as the tuner sends it before a frame's block:
        // the stream goes on across it.
        harness.Feed({blocks.front()});
        if (withTime) {
            FillMSCData(reinterpret_cast<std::uintptr_t>(wrongSize.data()), 7,
                        broadcast::TimeBlockWord(3), 1);
            FillMSCData(reinterpret_cast<std::uintptr_t>(time.data()), time.size(),
                        broadcast::TimeBlockWord(3), 1);
        }
        harness.Feed({blocks.begin() + 1, blocks.end()});
        ASSERT_TRUE(DecoderHarness::WaitForIdle());

        const TdcCounters tdc = DecoderHarness::Tdc();
        EXPECT_EQ(tdc.blocks, blocks.size());
        EXPECT_EQ(tdc.timeBlocks, withTime ? 1u : 0u);
        EXPECT_EQ(tdc.ignoredBlocks, withTime ? 1u : 0u);
        EXPECT_EQ(tdc.dataGroupsLost, 0u);
        if (withTime) {
            ASSERT_TRUE(harness.WaitForEvents(1));
            const auto entries = broadcast::ReadMessageFile(
                harness.ReadFile(broadcast::TpegApplications()[kRtm].fileName));
            ASSERT_TRUE(entries);
            ASSERT_EQ(entries->size(), 1u);
            EXPECT_EQ((*entries)[0].expiryTime, mmc.expiryTime);
        } else {
            EXPECT_EQ(DecoderHarness::Tpeg().filesWritten, 0u);
        }
    }
}

}  // namespace
