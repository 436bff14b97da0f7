#include "broadcast/eti.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "broadcast/crc.h"
#include "broadcast/eti_reader.h"
#include "tests/support/temp_dir.h"

namespace {

using broadcast::EtiError;
using broadcast::EtiReadStatus;

struct Frames {
    std::vector<std::uint8_t> fic = std::vector<std::uint8_t>(96, 0xAB);
    std::vector<std::uint8_t> audio = std::vector<std::uint8_t>(384);
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(192);

    std::vector<std::uint8_t> Make(std::uint32_t number) {
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<std::uint8_t>(number + i);
        }
        const std::vector<broadcast::EtiStream> streams{{1, 0, 0x12, audio}, {3, 392, 0x22, data}};
        broadcast::EtiFrameContent content;
        content.frameNumber = number;
        content.fic = fic;
        content.streams = streams;
        std::vector<std::uint8_t> frame(broadcast::kEtiFrameSize);
        EXPECT_EQ(broadcast::WriteEtiFrame(content, frame), EtiError::None);
        return frame;
    }
};

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

TEST(Eti, FrameHeaderFieldsAsLaidDown) {
    Frames frames;
    const auto frame = frames.Make(251);
    EXPECT_EQ(frame[0], 0xFF);  // ERR: no error
    EXPECT_EQ(frame[1], 0xF8);  // odd frame: FSYNC 0xF8C549
    EXPECT_EQ(frame[3], 0x49);
    EXPECT_EQ(frame[4], 1);     // FCT = 251 mod 250
    EXPECT_EQ(frame[5], 0x82);  // FIC present, two streams
    // FL: 2 STC + 1 EOH + (96 + 384 + 192) / 4 words; MID 01 for mode I.
    const unsigned fl = 2 + 1 + (96 + 384 + 192) / 4;
    EXPECT_EQ(((frame[6] << 8) | frame[7]) & 0x7FF, fl);
    EXPECT_EQ((frame[6] >> 3) & 3, 1);
    // STC of the data stream: SCID 3, SAD 392, TPL 0x22, STL 24.
    EXPECT_EQ(frame[12], (3 << 2) | (392 >> 8));
    EXPECT_EQ(frame[13], 392 & 0xFF);
    EXPECT_EQ(frame[14], (0x22 << 2));
    EXPECT_EQ(frame[15], 24);
    const std::uint16_t headerCrc = broadcast::Crc16(std::span(frame).subspan(4, 14));
    EXPECT_EQ(frame[18], headerCrc >> 8);
    EXPECT_EQ(frame[19], headerCrc & 0xFF);
    EXPECT_EQ(frame[20], 0xAB);  // MST starts with the FIC
    EXPECT_EQ(frame.back(), 0x55);
}

TEST(Eti, FramesRoundTripWithTheirStreams) {
    Frames frames;
    const auto frame = frames.Make(2);
    const auto parsed = broadcast::ParseEtiFrame(frame);
    ASSERT_EQ(parsed.error, EtiError::None);
    EXPECT_FALSE(parsed.frame.oddSync);
    EXPECT_EQ(parsed.frame.fic.size(), 96u);
    const auto* data = parsed.frame.FindStream(3);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->startAddress, 392);
    EXPECT_EQ(std::vector<std::uint8_t>(data->data.begin(), data->data.end()), frames.data);
    EXPECT_EQ(parsed.frame.FindStream(9), nullptr);
}

TEST(Eti, DamageIsReportedByKind) {
    Frames frames;
    const auto good = frames.Make(0);
    auto badSync = good;
    badSync[2] ^= 1;
    EXPECT_EQ(broadcast::ParseEtiFrame(badSync).error, EtiError::BadSync);
    auto badHeader = good;
    badHeader[13] ^= 1;
    EXPECT_EQ(broadcast::ParseEtiFrame(badHeader).error, EtiError::BadHeaderCrc);
    auto badData = good;
    badData[500] ^= 1;
    EXPECT_EQ(broadcast::ParseEtiFrame(badData).error, EtiError::BadFrameCrc);
    EXPECT_EQ(broadcast::ParseEtiFrame(std::span(good).first(300)).error, EtiError::TooShort);
    auto signalError = good;
    signalError[0] = 0x00;
    EXPECT_EQ(broadcast::ParseEtiFrame(signalError).error, EtiError::SignalError);
}

TEST(EtiReader, DetectsEachFramingAndReadsEveryFrame) {
    testsupport::TempDir dir;
    Frames frames;
    std::vector<std::uint8_t> raw;
    std::vector<std::uint8_t> streamed;
    std::vector<std::uint8_t> framed{3, 0, 0, 0};
    for (std::uint32_t n = 0; n < 3; ++n) {
        const auto frame = frames.Make(n);
        raw.insert(raw.end(), frame.begin(), frame.end());
        const std::size_t used = 8 + 2 * 4 + 4 + 96 + 384 + 192 + 8;
        for (auto* out : {&streamed, &framed}) {
            out->push_back(used & 0xFF);
            out->push_back(used >> 8);
            out->insert(out->end(), frame.begin(), frame.begin() + used);
        }
    }
    WriteFile(dir / "raw.eti", raw);
    WriteFile(dir / "streamed.eti", streamed);
    WriteFile(dir / "framed.eti", framed);
    const std::vector<std::pair<std::string, broadcast::EtiFraming>> cases{
        {"raw.eti", broadcast::EtiFraming::Raw},
        {"streamed.eti", broadcast::EtiFraming::Streamed},
        {"framed.eti", broadcast::EtiFraming::Framed}};
    for (const auto& [name, framing] : cases) {
        SCOPED_TRACE(name);
        broadcast::EtiReader reader;
        ASSERT_TRUE(reader.Open(dir / name));
        EXPECT_EQ(reader.Framing(), framing);
        for (std::uint32_t n = 0; n < 3; ++n) {
            const auto result = reader.Next();
            ASSERT_EQ(result.status, EtiReadStatus::Frame);
            EXPECT_EQ(result.frame.frameCount, n);
            EXPECT_EQ(result.frame.FindStream(3)->data[0], static_cast<std::uint8_t>(n));
        }
        EXPECT_EQ(reader.Next().status, EtiReadStatus::End);
        ASSERT_TRUE(reader.Rewind());
        EXPECT_EQ(reader.Next().frame.frameCount, 0);
    }
}

TEST(EtiReader, BadFramesAreCountedAndSkipped) {
    testsupport::TempDir dir;
    Frames frames;
    std::vector<std::uint8_t> raw;
    for (std::uint32_t n = 0; n < 4; ++n) {
        auto frame = frames.Make(n);
        if (n == 1) {
            frame[600] ^= 0xFF;
        }
        raw.insert(raw.end(), frame.begin(), frame.end());
    }
    // A stray half frame throws the RAW framing out of step.
    raw.insert(raw.begin() + 2 * broadcast::kEtiFrameSize, 100, 0x00);
    WriteFile(dir / "damaged.eti", raw);
    broadcast::EtiReader reader;
    ASSERT_TRUE(reader.Open(dir / "damaged.eti"));
    std::vector<int> counts;
    for (auto result = reader.Next(); result.status != EtiReadStatus::End; result = reader.Next()) {
        ASSERT_NE(result.status, EtiReadStatus::IoError);
        counts.push_back(result.status == EtiReadStatus::Frame ? result.frame.frameCount : -1);
    }
    EXPECT_EQ(counts, (std::vector<int>{0, -1, -1, 2, 3}));
    EXPECT_EQ(reader.GoodFrames(), 3u);
    EXPECT_EQ(reader.BadFrames(), 2u);
}

TEST(EtiReader, RefusesFilesWithoutEtiFrames) {
    testsupport::TempDir dir;
    WriteFile(dir / "noise.eti", std::vector<std::uint8_t>(10000, 0x42));
    broadcast::EtiReader reader;
    EXPECT_FALSE(reader.Open(dir / "noise.eti"));
    EXPECT_FALSE(reader.Open(dir / "missing.eti"));
}

}  // namespace
