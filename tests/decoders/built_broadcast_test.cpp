// Broadcasts from the builder with the shapes it offers beyond the demo, played through the
// TDC and TPEG libraries with the word the tuner builds from the FIC.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "broadcast/eti_reader.h"
#include "broadcast/fic.h"
#include "broadcast/msc_data_path.h"
#include "tests/support/decoder_harness.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testsupport::DecoderHarness;

// Plays the TPEG sub-channel of the recording; false when it could not be read.
bool Play(const std::string& eti) {
    broadcast::EtiReader reader;
    if (!reader.Open(eti)) {
        return false;
    }
    broadcast::FicDecoder fic;
    for (int i = 0; i < 50 && !fic.IsComplete(); ++i) {
        const auto result = reader.Next();
        if (result.status != broadcast::EtiReadStatus::Frame) {
            return false;
        }
        fic.PushFic(result.frame.fic);
    }
    const auto ensemble = fic.Ensemble();
    const broadcast::Service* tpeg = nullptr;
    for (const auto& service : ensemble.services) {
        if (service.userApplication == broadcast::kUserApplicationTpeg) {
            tpeg = &service;
        }
    }
    if (tpeg == nullptr || !reader.Rewind()) {
        return false;
    }
    const std::uintptr_t word = broadcast::PackMscDataWord(
        tpeg->subChannelId,
        {true, tpeg->packetAddress, !tpeg->dataGroups,
         ensemble.FindSubChannel(tpeg->subChannelId)->fecScheme, tpeg->componentType});
    std::uintptr_t frame = 0;
    for (auto result = reader.Next(); result.status == broadcast::EtiReadStatus::Frame;
         result = reader.Next()) {
        const auto* stream = result.frame.FindStream(tpeg->subChannelId);
        if (stream == nullptr) {
            return false;
        }
        std::vector<std::uint8_t> block(stream->data.begin(), stream->data.end());
        FillMSCData(reinterpret_cast<std::uintptr_t>(block.data()), block.size(), word, frame++);
    }
    return true;
}

class BuiltBroadcast : public ::testing::TestWithParam<const char*> {};

TEST_P(BuiltBroadcast, EveryApplicationsFileArrives) {
    testsupport::TempDir dir;
    const std::string config = dir / "broadcast.txt";
    std::ofstream(config) << "frames 900\n"
                             "ensemble 201008 0xE00C \"Test 12B\"\n"
                             "subchannel 1 eep 96 2 fec\n"
                             "tpeg 0xF1E00448 \"Traffic\" 1 0x101 period 100000 "
                          << GetParam() << "\n";
    testsupport::ChildProcess builder(testsupport::BinDir() + "/dmbtpeg-mkbroadcast",
                                      {"--config", config, dir.Path(), "--quiet"});
    ASSERT_EQ(builder.Wait(120s).value_or(-1), 0) << builder.Errors();

    DecoderHarness harness;
    ASSERT_TRUE(harness.InitAndStart());
    ASSERT_TRUE(Play(dir / "201008.eti"));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());
    EXPECT_EQ(harness.FileCount(), broadcast::kTpegApplicationCount);
    const TdcCounters counters = DecoderHarness::Tdc();
    EXPECT_EQ(counters.followedAddress, 0x101u);
    EXPECT_EQ(counters.packetCrcErrors, 0u);
    EXPECT_EQ(DecoderHarness::Tpeg().frameHeaderErrors, 0u) << "no stream byte twice or spliced";
}

INSTANTIATE_TEST_SUITE_P(Shapes, BuiltBroadcast,
                         ::testing::Values("shared 0x200 repeat 2", "shared 0x200 segment 300",
                                           "dgflag 1 packet 48"));

}  // namespace
