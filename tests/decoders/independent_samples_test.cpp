#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/decoder_harness.h"
#include "tests/support/msc_stream.h"

namespace {

using testsupport::Bytes;
using testsupport::DecoderHarness;
using testsupport::MscStream;

const std::filesystem::path kSamples = std::filesystem::path(DMBTPEG_TESTDATA_DIR) / "tpeg-tisa";

Bytes Read(const std::string& name) {
    std::ifstream in(kSamples / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(IndependentSamples, StreamsOfAnotherEncoderDecodeWithoutDamage) {
    if (!std::filesystem::is_directory(kSamples)) {
        GTEST_SKIP() << "independent TPEG samples not found at " << kSamples;
    }
    // Each stream with the number of transport frames its encoder made.
    const std::vector<std::pair<std::string, std::uint64_t>> samples{
        {"TPEG_safety_messages.tpg", 1},
        {"TPEG_EAW_for_37A128001FE00BB8_20210504T092224.tpeg", 1},
        {"TPEG_EAW_for_37A12800D3492382_20210504T092224.tpeg", 1},
        {"TPEG_EAW_for_37A136007C5F2ABD_20210504T092224.tpeg", 1},
        {"traffic_data_from_response.bin", 2},
    };
    DecoderHarness harness;
    ASSERT_TRUE(harness.InitAndStart());
    MscStream stream;
    std::uint64_t frames = 0;
    for (const auto& [name, count] : samples) {
        const Bytes bytes = Read(name);
        ASSERT_FALSE(bytes.empty()) << name;
        // Data groups cut the stream anywhere, not at frame boundaries.
        for (std::size_t at = 0; at < bytes.size(); at += 1000) {
            stream.Add(
                std::span(bytes).subspan(at, std::min<std::size_t>(1000, bytes.size() - at)));
        }
        frames += count;
    }
    // The service's own stream after them is still decoded, once a stream directory names it:
    // without one the first service seen would stay the one decoded.
    const Bytes content = testsupport::ContentOf("after the independent samples");
    Bytes directory;
    broadcast::AppendStreamDirectory(std::span(&testsupport::kTestSid, 1), directory);
    Bytes directoryFrame;
    broadcast::AppendTransportFrame(broadcast::kStreamDirectoryFrameType, directory,
                                    directoryFrame);
    stream.Add(directoryFrame);
    stream.Add(testsupport::SniFrame());
    stream.AddAll(testsupport::MessageFrames(4, 1, content));
    harness.Feed(stream.Blocks());
    ASSERT_TRUE(harness.WaitForEvents(1));
    ASSERT_TRUE(DecoderHarness::WaitForIdle());

    const TpegCounters counters = DecoderHarness::Tpeg();
    EXPECT_EQ(counters.frames, frames + 3);
    EXPECT_EQ(counters.skippedBytes, 0u);
    EXPECT_EQ(counters.componentErrors, 0u);
    // Their TEC and TFP messages fill the RTM and CTT level 3 files for as long as they have not
    // expired (the traffic stream's run into 2027); the other samples' expired years ago.
    const auto apps = broadcast::TpegApplications();
    const auto events = harness.Events();
    ASSERT_FALSE(events.empty());
    for (const auto& event : events) {
        EXPECT_TRUE(event.code == apps[4].eventCode || event.code == apps[0].eventCode)
            << event.code;
    }
    EXPECT_EQ(events.back().file, testsupport::MessageFile(4, 1, content));
}

}  // namespace
