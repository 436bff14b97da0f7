#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "broadcast/sni.h"
#include "broadcast/tpeg_component.h"
#include "broadcast/tpeg_frame.h"
#include "broadcast/tpeg_frame_finder.h"

namespace {

// Streams made by an independent TPEG encoder, with the structure its analyser printed.
const std::filesystem::path kSamples = std::filesystem::path(DMBTPEG_TESTDATA_DIR) / "tpeg-tisa";

struct Component {
    std::uint8_t scid;
    std::uint16_t fieldLength;
    std::uint16_t headerCrc;
    std::uint16_t dataCrc;
    std::size_t prefix;  // bytes before the messages: count, or group priority and count
    std::size_t messages;
};

struct Sample {
    std::string file;
    std::vector<std::size_t> serviceFrameLengths;
    broadcast::ServiceId sid;
    std::vector<Component> components;
    std::vector<broadcast::SniFastTuningEntry> fastTuning;
};

class TpegSamples : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::is_directory(kSamples)) {
            GTEST_SKIP() << "independent TPEG samples not found at " << kSamples;
        }
    }

    static std::vector<std::uint8_t> Read(const std::string& name) {
        std::ifstream in(kSamples / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    static void Check(const Sample& sample) {
        SCOPED_TRACE(sample.file);
        const auto bytes = Read(sample.file);
        ASSERT_FALSE(bytes.empty());
        broadcast::TransportFrameFinder finder;
        // Arbitrary chunking must not change what is found.
        for (std::size_t at = 0; at < bytes.size(); at += 333) {
            finder.Push(
                std::span(bytes).subspan(at, std::min<std::size_t>(333, bytes.size() - at)));
        }
        std::vector<std::size_t> lengths;
        std::vector<Component> found;
        std::vector<broadcast::SniFastTuningEntry> fastTuning;
        while (const auto frame = finder.Next()) {
            lengths.push_back(frame->serviceFrame.size());
            if (frame->frameType == broadcast::kStreamDirectoryFrameType) {
                EXPECT_EQ(broadcast::ParseStreamDirectory(frame->serviceFrame).error,
                          broadcast::TpegError::None);
                continue;
            }
            ASSERT_EQ(frame->frameType, broadcast::kServiceFrameType);
            const auto service = broadcast::ParseServiceFrame(frame->serviceFrame);
            ASSERT_EQ(service.error, broadcast::TpegError::None);
            EXPECT_EQ(service.frame.sid, sample.sid);
            auto rest = service.frame.components;
            while (!rest.empty()) {
                const auto component = broadcast::ParseComponentFrame(rest);
                ASSERT_EQ(component.error, broadcast::TpegError::None);
                const auto& c = component.frame;
                const std::size_t expected = found.size();
                ASSERT_LT(expected, sample.components.size());
                const std::size_t prefix = sample.components[expected].prefix;
                const auto messages = c.scid == broadcast::kSniScid
                                          ? std::optional<std::size_t>(c.data[0])
                                          : broadcast::CountTpegComponents(c.data.subspan(prefix));
                ASSERT_TRUE(messages);
                EXPECT_EQ(c.data[prefix - 1], *messages) << "announced message count";
                found.push_back(
                    {c.scid, c.fieldLength, static_cast<std::uint16_t>((rest[3] << 8) | rest[4]),
                     static_cast<std::uint16_t>((rest[c.size - 2] << 8) | rest[c.size - 1]), prefix,
                     *messages});
                if (c.scid == broadcast::kSniScid) {
                    broadcast::SniTable sni;
                    ASSERT_EQ(broadcast::ParseSni(c.data, sni), broadcast::SniError::None);
                    EXPECT_EQ(sni.components, *messages);
                    fastTuning = sni.entries;
                }
                rest = rest.subspan(c.size);
            }
        }
        EXPECT_EQ(finder.SkippedBytes(), 0u);
        EXPECT_EQ(lengths, sample.serviceFrameLengths);
        ASSERT_EQ(found.size(), sample.components.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(found[i].scid, sample.components[i].scid);
            EXPECT_EQ(found[i].fieldLength, sample.components[i].fieldLength);
            EXPECT_EQ(found[i].headerCrc, sample.components[i].headerCrc);
            EXPECT_EQ(found[i].dataCrc, sample.components[i].dataCrc);
            EXPECT_EQ(found[i].messages, sample.components[i].messages);
        }
        EXPECT_EQ(fastTuning, sample.fastTuning);
    }
};

TEST_F(TpegSamples, SafetyMessagesMatchTheReferenceAnalysis) {
    Check({"TPEG_safety_messages.tpg",
           {3521},
           {100, 255, 255},
           {{0, 108, 0x5266, 0x80B2, 1, 4}, {2, 3399, 0x30D6, 0x2BF3, 2, 39}},
           {{2, broadcast::kSniSafetyFlag, 0, 5}}});
}

TEST_F(TpegSamples, EmergencyAlertsMatchTheReferenceAnalyses) {
    const std::vector<broadcast::SniFastTuningEntry> sni{{5, 0, 20, 15}};
    Check({"TPEG_EAW_for_37A128001FE00BB8_20210504T092224.tpeg",
           {2417},
           {0, 225, 225},
           {{0, 23, 0x64F1, 0x552E, 1, 2}, {5, 2380, 0x26CB, 0x1373, 1, 1}},
           sni});
    Check({"TPEG_EAW_for_37A12800D3492382_20210504T092224.tpeg",
           {1352},
           {0, 225, 225},
           {{0, 23, 0x64F1, 0x552E, 1, 2}, {5, 1315, 0x5D9A, 0xD3E6, 1, 1}},
           sni});
    Check({"TPEG_EAW_for_37A136007C5F2ABD_20210504T092224.tpeg",
           {1391},
           {0, 225, 225},
           {{0, 23, 0x64F1, 0x552E, 1, 2}, {5, 1354, 0xB862, 0x1B21, 1, 1}},
           sni});
}

TEST_F(TpegSamples, TrafficStreamWithStreamDirectoryParsesThroughout) {
    // No analysis accompanies this stream: its CRCs and message framing must simply hold.
    const auto bytes = Read("traffic_data_from_response.bin");
    broadcast::TransportFrameFinder finder;
    finder.Push(bytes);
    std::vector<std::uint8_t> types;
    std::vector<std::uint8_t> scids;
    broadcast::SniTable sni;
    while (const auto frame = finder.Next()) {
        types.push_back(frame->frameType);
        if (frame->frameType != broadcast::kServiceFrameType) {
            continue;
        }
        auto rest = broadcast::ParseServiceFrame(frame->serviceFrame).frame.components;
        while (!rest.empty()) {
            const auto component = broadcast::ParseComponentFrame(rest);
            ASSERT_EQ(component.error, broadcast::TpegError::None);
            scids.push_back(component.frame.scid);
            if (component.frame.scid == broadcast::kSniScid) {
                ASSERT_EQ(broadcast::ParseSni(component.frame.data, sni),
                          broadcast::SniError::None);
            } else {
                const auto data = component.frame.data;
                EXPECT_EQ(broadcast::CountTpegComponents(data.subspan(2)), data[1]);
            }
            rest = rest.subspan(component.frame.size);
        }
    }
    EXPECT_EQ(types, (std::vector<std::uint8_t>{0, 1}));
    EXPECT_EQ(scids, (std::vector<std::uint8_t>{0, 1, 2, 2}));
    EXPECT_EQ(sni.entries,
              (std::vector<broadcast::SniFastTuningEntry>{{1, 0, 1, 5}, {2, 0, 2, 7}}));
    EXPECT_EQ(finder.SkippedBytes(), 0u);
}

}  // namespace
