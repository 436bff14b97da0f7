// The service decoder fed TPEG transport bytes written out field by field as the TPEG transport
// and service frame layouts define them, with an independent CRC, rather than by broadcast/'s
// own encoder: shapes our builder never sends must decode too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "broadcast/tpeg_message.h"
#include "broadcast/tpeg_message_store.h"
#include "broadcast/tpeg_service_decoder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// CRC-16/CCITT as the frames carry it: polynomial 0x1021, preset 0xFFFF, MSB first, inverted.
std::uint16_t BitwiseCrc(const Bytes& bytes) {
    std::uint16_t reg = 0xFFFF;
    for (const std::uint8_t byte : bytes) {
        reg ^= static_cast<std::uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = static_cast<std::uint16_t>((reg & 0x8000) ? (reg << 1) ^ 0x1021 : reg << 1);
        }
    }
    return static_cast<std::uint16_t>(~reg);
}

void Put16(Bytes& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Component frame: SCID (8), field length (16), header CRC (16) over SCID, field length and the
// first 13 field bytes, then the field: data and a data CRC (16) over the data.
Bytes Component(std::uint8_t scid, const Bytes& data) {
    Bytes field = data;
    Put16(field, BitwiseCrc(data));
    Bytes covered{scid};
    Put16(covered, field.size());
    covered.insert(covered.end(), field.begin(),
                   field.begin() + std::min<std::ptrdiff_t>(13, std::ssize(field)));
    Bytes frame{scid};
    Put16(frame, field.size());
    Put16(frame, BitwiseCrc(covered));
    return Cat({frame, field});
}

// Service frame: SID-A, SID-B, SID-C, encryption indicator, component frames.
Bytes Service(std::uint8_t sidA, std::uint8_t encryption, const Bytes& components) {
    return Cat({{sidA, 0x20, 0x30, encryption}, components});
}

// Transport frame: sync word 0xFF0F, field length (16), header CRC (16) over the sync word, the
// field length, the frame type and the first 11 bytes of the service frame; frame type (8).
Bytes Transport(std::uint8_t type, const Bytes& body, std::size_t claimedLength = 0) {
    const std::size_t length = claimedLength != 0 ? claimedLength : body.size();
    Bytes covered{0xFF, 0x0F};
    Put16(covered, length);
    covered.push_back(type);
    covered.insert(covered.end(), body.begin(),
                   body.begin() + std::min<std::ptrdiff_t>(11, std::ssize(body)));
    Bytes frame{0xFF, 0x0F};
    Put16(frame, length);
    Put16(frame, BitwiseCrc(covered));
    frame.push_back(type);
    return Cat({frame, body});
}

// SNI component data: one SNI component, the fast-tuning table (id 1): table version,
// character table, then SCID, flags, content id and 16-bit AID per entry.
Bytes Sni(const std::vector<std::pair<std::uint8_t, std::uint16_t>>& map) {
    Bytes table{1, 0};
    for (const auto& [scid, aid] : map) {
        table.insert(table.end(), {scid, 0, 0});
        Put16(table, aid);
    }
    Bytes data{1, 1};
    Put16(data, table.size());
    return Cat({data, table});
}

// A component frame of one TPEG2 message, id 1: message count 1, component id 0, its length,
// an empty attribute block, the management container (id 1, length, attribute length, message
// id 1, version, expiry time 0x7FFFFFFF, no selector), then the text (short enough for one-byte
// lengths).
constexpr std::size_t kTextOffset = 12;  // of the text in the message component

Bytes OneMessage(std::uint8_t version, const std::string& text) {
    const Bytes container{1, 7, 6, 1, version, 0x7F, 0xFF, 0xFF, 0xFF};
    Bytes content{0};
    content.insert(content.end(), container.begin(), container.end());
    content.insert(content.end(), text.begin(), text.end());
    return Cat({{1, 0, static_cast<std::uint8_t>(content.size())}, content});
}

constexpr std::uint16_t kRtmAid = 0x0001;
constexpr std::uint16_t kCttAid = 0xF100;

// The texts of each application's files, in the order they were handed on.
class Collector : public broadcast::TpegServiceObserver {
  public:
    void OnMessages(const broadcast::TpegApplication& app,
                    std::span<const std::uint8_t> file) override {
        const auto entries = broadcast::ReadMessageFile(file);
        ASSERT_TRUE(entries);
        std::string texts;
        for (const auto& entry : *entries) {
            ASSERT_GE(entry.bytes.size(), kTextOffset);
            texts.append(entry.bytes.begin() + kTextOffset, entry.bytes.end());
        }
        files[std::string(app.name)].push_back(texts);
    }
    std::vector<std::string> Of(const std::string& app) const {
        const auto it = files.find(app);
        return it == files.end() ? std::vector<std::string>{} : it->second;
    }
    std::map<std::string, std::vector<std::string>> files;
};

TEST(TpegStream, DamagedComponentLosesOnlyItself) {
    Bytes badData = Component(9, OneMessage(1, "lost"));
    badData.back() ^= 0x01;
    Bytes badHeader = Component(9, OneMessage(2, "lost too"));
    badHeader[6] ^= 0x40;  // a data byte the header CRC covers
    const Bytes stream = Cat({
        Transport(1, Service(1, 0,
                             Cat({Component(0, Sni({{5, kRtmAid}, {9, kCttAid}})), badData,
                                  Component(5, OneMessage(1, "first"))}))),
        Transport(1, Service(1, 0, Cat({badHeader, Component(5, OneMessage(2, "second"))}))),
    });
    broadcast::TpegServiceDecoder decoder;
    Collector seen;
    decoder.Push(stream, seen, 0);
    EXPECT_EQ(seen.Of("RTM"), (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(seen.Of("CTT level 3").empty());
    EXPECT_EQ(decoder.Stats().badComponentFrames, 2u);
}

TEST(TpegStream, EncryptedServiceFramesAreSkippedAndCounted) {
    const Bytes components =
        Cat({Component(0, Sni({{5, kRtmAid}})), Component(5, OneMessage(1, "plain"))});
    broadcast::TpegServiceDecoder decoder;
    Collector seen;
    decoder.Push(Transport(1, Service(1, 3, components)), seen, 0);
    EXPECT_TRUE(seen.files.empty());
    EXPECT_EQ(decoder.Stats().encryptedFrames, 1u);
    decoder.Push(Transport(1, Service(1, 0, components)), seen, 0);
    EXPECT_EQ(seen.Of("RTM"), std::vector<std::string>{"plain"});
}

TEST(TpegStream, EachServiceIsMappedByItsOwnSniAndOnlyOneIsDecoded) {
    // Both services use SCID 5, for different applications.
    const Bytes sniA = Transport(1, Service(0xA, 0, Component(0, Sni({{5, kRtmAid}}))));
    const Bytes sniB =
        Transport(1, Service(0xB, 0, Component(0, Sni({{5, kCttAid}, {6, kRtmAid}}))));
    const Bytes dataA = Transport(1, Service(0xA, 0, Component(5, OneMessage(1, "A rtm"))));
    const Bytes dataB = Transport(
        1,
        Service(0xB, 0,
                Cat({Component(5, OneMessage(1, "B ctt")), Component(6, OneMessage(1, "B rtm"))})));

    {
        SCOPED_TRACE("no stream directory: the first service with an SNI");
        broadcast::TpegServiceDecoder decoder;
        Collector seen;
        decoder.Push(Cat({sniA, sniB, dataA, dataB}), seen, 0);
        EXPECT_EQ(seen.Of("RTM"), std::vector<std::string>{"A rtm"});
        EXPECT_TRUE(seen.Of("CTT level 3").empty());
        EXPECT_EQ(decoder.Stats().otherServiceComponents, 2u);
    }
    {
        SCOPED_TRACE("the stream directory lists B first");
        Bytes directory{2, 0xB, 0x20, 0x30, 0xA, 0x20, 0x30};
        Put16(directory, BitwiseCrc(directory));
        broadcast::TpegServiceDecoder decoder;
        Collector seen;
        decoder.Push(Cat({sniA, Transport(0, directory), sniB, dataA, dataB}), seen, 0);
        EXPECT_EQ(seen.Of("RTM"), std::vector<std::string>{"B rtm"});
        EXPECT_EQ(seen.Of("CTT level 3"), std::vector<std::string>{"B ctt"});
        ASSERT_TRUE(decoder.DecodedService());
        EXPECT_EQ(decoder.DecodedService()->a, 0xB);
    }
}

TEST(TpegStream, HeaderClaimingMoreThanArrivesYieldsToTheNextGoodFrame) {
    const Bytes sni = Transport(1, Service(1, 0, Component(0, Sni({{5, kRtmAid}}))));
    // The header holds and claims 60000 bytes; only the frame's own few arrive.
    const Bytes cut = Transport(1, Service(1, 0, Component(5, OneMessage(1, "cut off"))), 60000);
    ASSERT_LT(cut.size(), 100u);
    const Bytes good = Transport(1, Service(1, 0, Component(5, OneMessage(2, "next"))));

    broadcast::TpegServiceDecoder decoder;
    Collector seen;
    decoder.Push(Cat({sni, cut}), seen, 0);
    // Byte by byte, so the next header is looked for while it is still arriving.
    for (const std::uint8_t byte : good) {
        decoder.Push(std::span(&byte, 1), seen, 0);
    }
    EXPECT_EQ(seen.Of("RTM"), std::vector<std::string>{"next"});
    EXPECT_EQ(decoder.Stats().badFrames, 1u);
}

// Bounds: built with broadcast/'s encoder, since these are about sizes, not layout. Messages
// first, first + 1, ... of version 1, one to a frame.
Bytes MessageFrames(std::uint8_t scid, std::uint32_t first, std::size_t count,
                    std::size_t messageBytes) {
    Bytes stream;
    const Bytes body(messageBytes, scid);
    for (std::uint32_t id = first; id < first + count; ++id) {
        broadcast::MessageManagement mmc;
        mmc.messageId = id;
        mmc.versionId = 1;
        mmc.expiryTime = 0x7FFFFFFF;
        Bytes data{1};
        broadcast::AppendTpegMessage(0, mmc, body, data);
        Bytes service;
        broadcast::AppendServiceFrameHeader({1, 0x20, 0x30}, 0, service);
        broadcast::AppendComponentFrame(scid, data, service);
        broadcast::AppendTransportFrame(broadcast::kServiceFrameType, service, stream);
    }
    return stream;
}

Bytes AllApplicationsSni() {
    std::vector<std::pair<std::uint8_t, std::uint16_t>> map;
    for (std::size_t i = 0; i < broadcast::kTpegApplicationCount; ++i) {
        map.emplace_back(static_cast<std::uint8_t>(i + 1), broadcast::TpegApplications()[i].aid);
    }
    return Transport(1, Service(1, 0, Component(0, Sni(map))));
}

constexpr std::uint8_t kRtmScid = 5;  // the fifth application

TEST(TpegContentBound, MessagesBeyondWhatAnApplicationMayHoldAreRefused) {
    broadcast::TpegServiceDecoder decoder;  // the shipped bounds
    Collector seen;
    decoder.Push(AllApplicationsSni(), seen, 0);
    // 20 messages of 64,000 bytes, twice round: 16 fit the 1 MiB an application may hold.
    for (int round = 0; round < 2; ++round) {
        decoder.Push(MessageFrames(kRtmScid, 1, 20, 64000), seen, 0);
        EXPECT_LE(decoder.Stats().heldContentBytes, broadcast::ContentBudget::kDefaultPerAccount);
    }
    EXPECT_EQ(decoder.Stats().refusedMessages, 2u * 4u);
    EXPECT_EQ(seen.Of("RTM").size(), 16u) << "one file per message taken";
}

TEST(TpegContentBound, FullBudgetRefusesNewMessagesAndKeepsTheHeldOnes) {
    // 3 kB an application, 9 kB in all: four applications' two messages of 1000 bytes fill it.
    broadcast::TpegServiceDecoder decoder(3000, 9000);
    Collector seen;
    decoder.Push(AllApplicationsSni(), seen, 0);
    for (std::uint8_t scid = 1; scid <= 5; ++scid) {
        decoder.Push(MessageFrames(scid, 1, 2, 1000), seen, 0);
        EXPECT_LE(decoder.Stats().heldContentBytes, 9000u);
    }
    EXPECT_EQ(decoder.Stats().refusedMessages, 2u);
    EXPECT_EQ(seen.files.size(), 4u);
    EXPECT_TRUE(seen.Of("RTM").empty()) << "the fifth application found no room";
}

// TPEG2 messages of an application, as other encoders send them: the decoder hands on the
// application's data file when its messages change, never for a repetition of the carousel.
class FileCollector : public broadcast::TpegServiceObserver {
  public:
    void OnMessages(const broadcast::TpegApplication& app,
                    std::span<const std::uint8_t> file) override {
        EXPECT_EQ(app.aid, kRtmAid);
        const auto entries = broadcast::ReadMessageFile(file);
        ASSERT_TRUE(entries);
        std::vector<std::pair<std::uint32_t, std::uint8_t>> held;
        for (const auto& entry : *entries) {
            held.emplace_back(entry.messageId, entry.versionId);
        }
        files.push_back(held);
    }
    std::vector<std::vector<std::pair<std::uint32_t, std::uint8_t>>> files;
};

Bytes Tpeg2Frame(
    std::initializer_list<std::tuple<std::uint32_t, std::uint8_t, std::uint32_t, bool>> messages,
    bool prioritised = false) {
    Bytes data;
    if (prioritised) {
        data.push_back(0);
    }
    data.push_back(static_cast<std::uint8_t>(messages.size()));
    for (const auto& [id, version, expiry, cancel] : messages) {
        broadcast::MessageManagement mmc;
        mmc.messageId = id;
        mmc.versionId = version;
        mmc.expiryTime = expiry;
        mmc.cancel = cancel;
        broadcast::AppendTpegMessage(0, mmc, Bytes{0x03, 0x01, 0x00}, data);
    }
    return Transport(1, Service(1, 0, Component(5, data)));
}

TEST(TpegStream, Tpeg2MessagesHandOnTheFileWhenTheyChange) {
    using Held = std::vector<std::pair<std::uint32_t, std::uint8_t>>;
    broadcast::TpegServiceDecoder decoder;
    FileCollector seen;
    const Bytes sni = Transport(1, Service(1, 0, Component(0, Sni({{5, kRtmAid}}))));
    const Bytes carousel = Tpeg2Frame({{1, 1, 1000, false}, {2, 1, 2000, false}});
    decoder.Push(Cat({sni, carousel, carousel}), seen, 100);
    decoder.Push(carousel, seen, 100);
    ASSERT_EQ(seen.files.size(), 1u);
    EXPECT_EQ(seen.files[0], (Held{{1, 1}, {2, 1}}));

    // A newer version and a cancel in one frame (this time with a group priority): one file.
    decoder.Push(Tpeg2Frame({{1, 2, 1000, false}, {2, 2, 3000, true}}, true), seen, 100);
    decoder.Push(carousel, seen, 100);  // the old carousel still going round changes nothing
    ASSERT_EQ(seen.files.size(), 2u);
    EXPECT_EQ(seen.files[1], (Held{{1, 2}}));

    // Expiry is judged against the time given with the bytes, also when none arrive.
    decoder.Push({}, seen, 999);
    EXPECT_EQ(seen.files.size(), 2u);
    decoder.Push({}, seen, 1000);
    ASSERT_EQ(seen.files.size(), 3u);
    EXPECT_TRUE(seen.files[2].empty());
    EXPECT_EQ(decoder.Stats().messageChanges, 5u);
    EXPECT_EQ(decoder.Stats().badMessages, 0u);
}

}  // namespace
