#include "broadcast/tpeg_frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "broadcast/crc.h"
#include "broadcast/tpeg_frame_finder.h"

namespace {

using broadcast::TpegError;

std::vector<std::uint8_t> ServiceFrame(std::size_t componentBytes, std::uint8_t seed) {
    std::vector<std::uint8_t> data(componentBytes);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(seed + i);
    }
    std::vector<std::uint8_t> service;
    broadcast::AppendServiceFrameHeader({1, 2, 3}, 0, service);
    broadcast::AppendComponentFrame(4, data, service);
    return service;
}

std::vector<std::uint8_t> TransportFrame(std::uint8_t type, const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> frame;
    broadcast::AppendTransportFrame(type, body, frame);
    return frame;
}

std::vector<std::size_t> FrameSizes(broadcast::TransportFrameFinder& finder) {
    std::vector<std::size_t> sizes;
    while (const auto frame = finder.Next()) {
        sizes.push_back(frame->size);
    }
    return sizes;
}

TEST(TpegFrame, TransportAndComponentHeadersAsLaidDown) {
    const std::vector<std::uint8_t> data{1, 2, 3};
    std::vector<std::uint8_t> service;
    broadcast::AppendServiceFrameHeader({0x64, 0xFF, 0xFE}, 0, service);
    broadcast::AppendComponentFrame(2, data, service);
    const std::vector<std::uint8_t> frame = TransportFrame(1, service);

    ASSERT_EQ(frame.size(), 7u + 4u + 5u + 3u + 2u);
    EXPECT_EQ(frame[0], 0xFF);
    EXPECT_EQ(frame[1], 0x0F);
    EXPECT_EQ(frame[2], 0);
    EXPECT_EQ(frame[3], 14);  // service frame length
    EXPECT_EQ(frame[6], 1);   // frame type
    EXPECT_EQ(frame[7], 0x64);
    EXPECT_EQ(frame[9], 0xFE);
    EXPECT_EQ(frame[10], 0);  // encryption id
    // Header CRC over sync, length, type and the first 11 service frame bytes.
    std::vector<std::uint8_t> covered(frame.begin(), frame.begin() + 4);
    covered.insert(covered.end(), frame.begin() + 6, frame.begin() + 18);
    const std::uint16_t headerCrc = broadcast::Crc16(covered);
    EXPECT_EQ(frame[4], headerCrc >> 8);
    EXPECT_EQ(frame[5], headerCrc & 0xFF);

    const std::span<const std::uint8_t> component = std::span(frame).subspan(11);
    EXPECT_EQ(component[0], 2);  // SCID
    EXPECT_EQ(component[1], 0);
    EXPECT_EQ(component[2], 5);  // field length: data and data CRC
    const std::vector<std::uint8_t> componentCovered{2, 0, 5, 1, 2, 3, component[8], component[9]};
    const std::uint16_t componentCrc = broadcast::Crc16(componentCovered);
    EXPECT_EQ(component[3], componentCrc >> 8);
    EXPECT_EQ(component[4], componentCrc & 0xFF);
    EXPECT_EQ(component[8], broadcast::Crc16(data) >> 8);
    EXPECT_EQ(component[9], broadcast::Crc16(data) & 0xFF);
}

TEST(TpegFrame, ServiceFrameOfManyKilobytesRoundTrips) {
    const auto service = ServiceFrame(3000, 9);
    const auto frame = TransportFrame(1, service);
    const auto transport = broadcast::ParseTransportFrame(frame);
    ASSERT_EQ(transport.error, TpegError::None);
    EXPECT_EQ(transport.frame.size, frame.size());
    const auto parsed = broadcast::ParseServiceFrame(transport.frame.serviceFrame);
    ASSERT_EQ(parsed.error, TpegError::None);
    EXPECT_EQ(parsed.frame.sid, (broadcast::ServiceId{1, 2, 3}));
    const auto component = broadcast::ParseComponentFrame(parsed.frame.components);
    ASSERT_EQ(component.error, TpegError::None);
    EXPECT_EQ(component.frame.scid, 4);
    EXPECT_EQ(component.frame.fieldLength, 3002);
    EXPECT_EQ(component.frame.data.size(), 3000u);
    EXPECT_EQ(component.frame.size, parsed.frame.components.size());
}

TEST(TpegFrame, DamagedFieldsAreReportedByKind) {
    auto frame = TransportFrame(1, ServiceFrame(40, 1));
    auto badHeader = frame;
    badHeader[3] ^= 1;
    EXPECT_EQ(broadcast::ParseTransportFrame(badHeader).error, TpegError::BadHeaderCrc);
    auto badSync = frame;
    badSync[1] = 0x0E;
    EXPECT_EQ(broadcast::ParseTransportFrame(badSync).error, TpegError::BadSync);
    EXPECT_EQ(broadcast::ParseTransportFrame(std::span(frame).first(frame.size() - 1)).error,
              TpegError::TooShort);

    auto service = ServiceFrame(40, 1);
    service.back() ^= 0x80;
    const auto component = broadcast::ParseComponentFrame(std::span(service).subspan(4));
    EXPECT_EQ(component.error, TpegError::BadDataCrc);
    EXPECT_EQ(component.frame.size, 5u + 42u);
}

TEST(TpegFrame, StreamDirectoryRoundTripsAndChecksItsCrc) {
    const std::vector<broadcast::ServiceId> sids{{1, 2, 3}, {9, 8, 7}};
    std::vector<std::uint8_t> body;
    broadcast::AppendStreamDirectory(sids, body);
    const auto parsed = broadcast::ParseStreamDirectory(body);
    ASSERT_EQ(parsed.error, TpegError::None);
    ASSERT_EQ(parsed.count, 2u);
    EXPECT_EQ(parsed.At(1), (broadcast::ServiceId{9, 8, 7}));
    body[2] ^= 1;
    EXPECT_EQ(broadcast::ParseStreamDirectory(body).error, TpegError::BadDataCrc);
}

TEST(TransportFrameFinder, YieldsFramesFedOneByteAtATime) {
    std::vector<std::uint8_t> stream;
    for (std::uint8_t i = 0; i < 4; ++i) {
        const auto frame = TransportFrame(1, ServiceFrame(100 + i * 200, i));
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    broadcast::TransportFrameFinder finder;
    std::vector<std::size_t> sizes;
    for (const std::uint8_t byte : stream) {
        finder.Push(std::span(&byte, 1));
        const auto more = FrameSizes(finder);
        sizes.insert(sizes.end(), more.begin(), more.end());
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{118, 318, 518, 718}));
    EXPECT_EQ(finder.SkippedBytes(), 0u);
}

TEST(TransportFrameFinder, ResynchronisesAfterGarbageAndFalseSyncWords) {
    // The payload carries what looks like a frame start; after a good frame the finder must go
    // on behind it, and in garbage a false sync word must fail its header CRC.
    std::vector<std::uint8_t> payload(300, 0x11);
    payload[50] = 0xFF;
    payload[51] = 0x0F;
    std::vector<std::uint8_t> service;
    broadcast::AppendServiceFrameHeader({1, 1, 1}, 0, service);
    broadcast::AppendComponentFrame(1, payload, service);
    const auto withFalseSync = TransportFrame(1, service);
    const auto good = TransportFrame(1, ServiceFrame(20, 5));

    std::vector<std::uint8_t> stream{0x00, 0xFF, 0x0F, 0x00, 0x10, 0x12, 0x34, 0xFF};
    stream.insert(stream.end(), withFalseSync.begin(), withFalseSync.end());
    stream.insert(stream.end(), good.begin(), good.end());
    // A truncated frame whose header still holds claims the frames after it as its payload.
    const auto cut = std::span(withFalseSync).first(30);
    stream.insert(stream.end(), cut.begin(), cut.end());
    for (int i = 0; i < 10; ++i) {
        stream.insert(stream.end(), good.begin(), good.end());
    }

    broadcast::TransportFrameFinder finder;
    finder.Push(stream);
    std::vector<std::size_t> expected{withFalseSync.size()};
    expected.insert(expected.end(), 11, good.size());
    EXPECT_EQ(FrameSizes(finder), expected);
    EXPECT_GE(finder.BadHeaders(), 1u);
    EXPECT_EQ(finder.BadFrames(), 1u);
}

TEST(TransportFrameFinder, UnknownFrameTypeIsYieldedAndTheNextFrameStillFound) {
    const auto unknown = TransportFrame(7, ServiceFrame(60, 3));
    const auto good = TransportFrame(1, ServiceFrame(10, 4));
    std::vector<std::uint8_t> stream(unknown);
    stream.insert(stream.end(), good.begin(), good.end());
    broadcast::TransportFrameFinder finder;
    finder.Push(stream);
    const auto first = finder.Next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->frameType, 7);
    const auto second = finder.Next();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->frameType, 1);
    EXPECT_EQ(second->size, good.size());
}

}  // namespace
