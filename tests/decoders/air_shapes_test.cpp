// Sub-channels shaped as broadcasters send them, written out byte by byte from the packet and
// data group layouts (header fields bit by bit, CRCs by an independent bitwise loop) rather
// than by the broadcast library's own encoder, so that a fault the encoder and the decoder
// share cannot hide.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "broadcast/msc_data_path.h"
#include "broadcast/tpeg_application.h"
#include "platform/log.h"
#include "tests/support/decoder_harness.h"
#include "tests/support/log_capture.h"
#include "tests/support/msc_stream.h"

namespace {

using testsupport::Bytes;
using testsupport::DecoderHarness;

constexpr std::size_t kRtm = 4;
constexpr std::uint16_t kTpeg = 0x100;
constexpr std::uint16_t kMot = 0x200;
constexpr std::uint8_t kSubChannel = 3;

// CRC-16/CCITT: generator x^16 + x^12 + x^5 + 1, register preset to ones, MSB first, the
// register's complement sent.
std::uint16_t BitwiseCrc(const Bytes& bytes) {
    std::uint16_t reg = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool feedback = (((byte >> bit) & 1) != 0) != ((reg & 0x8000) != 0);
            reg = static_cast<std::uint16_t>(reg << 1);
            if (feedback) {
                reg ^= 0x1021;
            }
        }
    }
    return static_cast<std::uint16_t>(~reg);
}

void AppendCrc(Bytes& bytes) {
    const std::uint16_t crc = BitwiseCrc(bytes);
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    bytes.push_back(static_cast<std::uint8_t>(crc));
}

struct Group {
    std::uint8_t type = 0;
    std::uint8_t continuity = 0;
    std::uint8_t repetition = 0;
    bool crc = true;
    std::optional<std::uint16_t> segment;  // segment number
    bool lastSegment = false;
    std::optional<std::uint16_t> transportId;
};

Group Plain(std::uint8_t continuity, std::uint8_t repetition = 0) {
    Group g;
    g.continuity = continuity;
    g.repetition = repetition;
    return g;
}

// Data group: extension flag, CRC flag, segment flag, user access flag, type (4 bits);
// continuity index (4), repetition index (4); segment field: last flag, segment number (15);
// user access field: 3 reserved bits, transport id flag, length indicator (4), transport id.
Bytes DataGroup(const Group& g, const Bytes& data) {
    Bytes bytes;
    bytes.push_back(static_cast<std::uint8_t>((g.crc ? 0x40 : 0) | (g.segment ? 0x20 : 0) |
                                              (g.transportId ? 0x10 : 0) | g.type));
    bytes.push_back(static_cast<std::uint8_t>((g.continuity << 4) | g.repetition));
    if (g.segment) {
        bytes.push_back(static_cast<std::uint8_t>((g.lastSegment ? 0x80 : 0) | (*g.segment >> 8)));
        bytes.push_back(static_cast<std::uint8_t>(*g.segment));
    }
    if (g.transportId) {
        bytes.push_back(0x12);  // transport id present, two bytes follow
        bytes.push_back(static_cast<std::uint8_t>(*g.transportId >> 8));
        bytes.push_back(static_cast<std::uint8_t>(*g.transportId));
    }
    bytes.insert(bytes.end(), data.begin(), data.end());
    if (g.crc) {
        AppendCrc(bytes);
    }
    return bytes;
}

// Packets of one sub-channel in stream order, cut into 288-byte blocks (96 kbit/s).
class SubChannel {
  public:
    // Packet: length code (2 bits), continuity index (2), first, last, address (10); command
    // flag, useful data length (7); data field padded with zeros; CRC.
    void Packet(std::uint16_t address, bool first, bool last, const Bytes& useful,
                bool command = false) {
        const std::size_t size = (useful.size() + 5 + 23) / 24 * 24;
        std::uint8_t& continuity = m_continuity[address];
        Bytes p;
        p.push_back(static_cast<std::uint8_t>(((size / 24 - 1) << 6) | (continuity << 4) |
                                              (first ? 0x08 : 0) | (last ? 0x04 : 0) |
                                              (address >> 8)));
        p.push_back(static_cast<std::uint8_t>(address));
        p.push_back(static_cast<std::uint8_t>((command ? 0x80 : 0) | useful.size()));
        p.insert(p.end(), useful.begin(), useful.end());
        p.resize(size - 2, 0);
        AppendCrc(p);
        continuity = (continuity + 1) & 3;
        Put(p);
    }

    // A data group in packets of at most 96 bytes (91 useful).
    void Group(std::uint16_t address, const Bytes& group) {
        for (std::size_t at = 0; at < group.size(); at += 91) {
            const std::size_t take = std::min<std::size_t>(91, group.size() - at);
            Packet(address, at == 0, at + take == group.size(),
                   Bytes(group.begin() + static_cast<std::ptrdiff_t>(at),
                         group.begin() + static_cast<std::ptrdiff_t>(at + take)));
        }
    }

    // Ends the current block, padding packets filling it.
    void EndBlock() {
        while (Room() >= 24) {
            Bytes padding{0x00, 0x00, 0x00};
            padding.resize(22, 0);
            AppendCrc(padding);
            Current().insert(Current().end(), padding.begin(), padding.end());
        }
        m_blocks.emplace_back();
    }

    std::size_t Room() const { return kBlock - m_blocks.back().size(); }

    std::vector<Bytes> Blocks() {
        if (!m_blocks.back().empty()) {
            EndBlock();
        }
        std::vector<Bytes> blocks = m_blocks;
        blocks.pop_back();
        return blocks;
    }

    // Called before every packet of the TPEG address: the other service first in each block.
    std::function<void(SubChannel&)> onNewBlock;

  private:
    static constexpr std::size_t kBlock = 288;

    Bytes& Current() { return m_blocks.back(); }

    void Put(const Bytes& p) {
        if (Room() < p.size()) {
            EndBlock();
        }
        if (Current().empty() && onNewBlock && !m_inHook) {
            m_inHook = true;
            onNewBlock(*this);
            m_inHook = false;
            EXPECT_GE(Room(), p.size()) << "the other service leaves no room";
        }
        Current().insert(Current().end(), p.begin(), p.end());
    }

    std::vector<Bytes> m_blocks{Bytes()};
    std::uint8_t m_continuity[1024] = {};
    bool m_inHook = false;
};

// The SNI and 900 bytes of RTM messages in one transport frame each.
Bytes TpegStream(const Bytes& content) {
    Bytes stream = testsupport::SniFrame();
    for (const Bytes& frame : testsupport::MessageFrames(kRtm, 1, content, 900)) {
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

std::vector<Bytes> Pieces(const Bytes& stream, std::size_t size) {
    std::vector<Bytes> pieces;
    for (std::size_t at = 0; at < stream.size(); at += size) {
        const std::size_t take = std::min(size, stream.size() - at);
        pieces.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                            stream.begin() + static_cast<std::ptrdiff_t>(at + take));
    }
    return pieces;
}

// MOT header and body data groups of a slideshow, one per block, before the TPEG packets.
void MotNeighbour(SubChannel& sc) {
    static std::uint8_t continuity = 0;
    Group g;
    g.type = (continuity % 2 == 0) ? 3 : 4;
    g.continuity = continuity++ & 0x0F;
    g.segment = 0;
    g.transportId = 0x4D4F;
    sc.Group(kMot, DataGroup(g, Bytes(40, 0xAB)));
}

std::uintptr_t Word(bool dgFlag = false, std::uint8_t fec = 0) {
    return broadcast::PackMscDataWord(kSubChannel, {true, kTpeg, dgFlag, fec, 5});
}

Bytes RtmContent() {
    Bytes content(850);
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return content;
}

enum class Shape { Repeated, Segmented, NoDataGroups, WithoutCrc };

class AirShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(AirShapes, TheFileComesThroughOnTheSignalledAddressNextToAnotherService) {
    const Bytes content = RtmContent();
    const Bytes stream = TpegStream(content);
    SubChannel sc;
    sc.onNewBlock = &MotNeighbour;
    std::uint8_t continuity = 0;
    switch (GetParam()) {
        case Shape::Repeated:
            // 300-byte groups each sent twice, the repetition index counting down; a command
            // packet of the address between groups is no stream byte.
            for (const Bytes& piece : Pieces(stream, 300)) {
                for (std::uint8_t copy : {1, 0}) {
                    sc.Group(kTpeg, DataGroup(Plain(continuity, copy), piece));
                }
                sc.Packet(kTpeg, true, true, Bytes(12, 0xEE), true);
                continuity = (continuity + 1) & 0x0F;
            }
            break;
        case Shape::Segmented: {
            // A series broken off (its last segment never comes), then the stream as one
            // series of 300-byte segments, each segment sent twice.
            Group broken = Plain(14);
            broken.segment = 0;
            broken.transportId = 7;
            sc.Group(kTpeg, DataGroup(broken, Bytes(100, 0x47)));
            const auto pieces = Pieces(stream, 300);
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                Group g = Plain(continuity);
                g.segment = static_cast<std::uint16_t>(i);
                g.lastSegment = i + 1 == pieces.size();
                g.transportId = 8;
                for (std::uint8_t copy : {1, 0}) {
                    g.repetition = copy;
                    sc.Group(kTpeg, DataGroup(g, pieces[i]));
                }
                continuity = (continuity + 1) & 0x0F;
            }
            break;
        }
        case Shape::NoDataGroups:
            // The stream straight in the packets' data fields, a command packet among them.
            for (const Bytes& piece : Pieces(stream, 91)) {
                sc.Packet(kTpeg, true, true, piece);
                if (continuity++ == 3) {
                    sc.Packet(kTpeg, true, true, Bytes(20, 0x47), true);
                }
            }
            break;
        case Shape::WithoutCrc:
            for (const Bytes& piece : Pieces(stream, 300)) {
                Group g = Plain(continuity);
                g.crc = false;
                sc.Group(kTpeg, DataGroup(g, piece));
                continuity = (continuity + 1) & 0x0F;
            }
            break;
    }

    DecoderHarness harness;
    ASSERT_TRUE(harness.InitAndStart());
    harness.Feed(sc.Blocks(), Word(GetParam() == Shape::NoDataGroups));
    ASSERT_TRUE(harness.WaitForEvents(1));
    EXPECT_EQ(harness.ReadFile(broadcast::TpegApplications()[kRtm].fileName),
              testsupport::MessageFile(kRtm, 1, content, 900));
    const TdcCounters counters = DecoderHarness::Tdc();
    EXPECT_EQ(counters.followedAddress, kTpeg);
    EXPECT_EQ(counters.queuedBytes, stream.size()) << "nothing but the stream, nothing twice";
}

INSTANTIATE_TEST_SUITE_P(Shapes, AirShapes,
                         ::testing::Values(Shape::Repeated, Shape::Segmented, Shape::NoDataGroups,
                                           Shape::WithoutCrc));

TEST(AddressFallback, WithoutTheFicOnlyGroupsWithACrcAndNoMotTypeTakeUpAnAddressAndTheLogSaysSo) {
    testsupport::CapturingLogSink log;
    platform::ScopedLogSink capture(log);
    SubChannel sc;
    sc.onNewBlock = [](SubChannel& s) {
        MotNeighbour(s);
        Group noCrc = Plain(0);
        noCrc.crc = false;
        s.Group(0x300, DataGroup(noCrc, Bytes(30, 0x11)));
    };
    std::uint8_t continuity = 0;
    for (const Bytes& piece : Pieces(TpegStream(RtmContent()), 300)) {
        sc.Group(kTpeg, DataGroup(Plain(continuity), piece));
        continuity = (continuity + 1) & 0x0F;
    }
    const auto blocks = sc.Blocks();
    const auto fallbackLines = [&] {
        const auto lines = log.Lines();
        return std::count_if(lines.begin(), lines.end(), [](const std::u16string& line) {
            return line.find(u"FIC names no TPEG packet address") != std::u16string::npos;
        });
    };

    DecoderHarness harness;
    ASSERT_TRUE(harness.InitAndStart());
    harness.Feed(blocks, kSubChannel);
    harness.Feed(blocks, kSubChannel + 1);
    EXPECT_EQ(DecoderHarness::Tdc().followedAddress, kTpeg);
    EXPECT_EQ(fallbackLines(), 1) << log.Text();
    StopTDCDecode();
    StartTDCDecode();
    harness.Feed(blocks, kSubChannel);
    EXPECT_EQ(fallbackLines(), 2) << "once per start";
}

// Packet FEC: the tables are made by the encoder (an independent RS table is beyond a test);
// what is damaged is written out by hand.
class FecFromTheFic : public ::testing::Test {
  protected:
    static std::vector<Bytes> Blocks(std::size_t groups, bool fec) {
        testsupport::MscStream stream(kTpeg);
        for (std::size_t i = 0; i < groups; ++i) {
            stream.Add(Bytes(400, static_cast<std::uint8_t>(i)));
        }
        return stream.Blocks(192, fec);
    }
    DecoderHarness m_harness;
};

TEST_F(FecFromTheFic, AFecPacketsLengthCodeIsNotTrusted) {
    auto blocks = Blocks(24, true);
    // In the second table: two bytes of the first TPEG packet damaged (within what the table
    // corrects) and the length code of its fourth FEC packet turned from 24 to 48 bytes.
    std::size_t tables = 0;
    bool damaged = false;
    for (Bytes& block : blocks) {
        for (std::size_t at = 0; at + 24 <= block.size();) {
            const std::uint16_t address =
                static_cast<std::uint16_t>(((block[at] & 3) << 8) | block[at + 1]);
            const std::size_t counter = (block[at] >> 2) & 0x0F;
            if (address == 1022) {
                if (counter == 0) {
                    ++tables;
                }
                if (tables == 2 && counter == 3) {
                    block[at] |= 0x40;
                }
                at += 24;
                continue;
            }
            if (tables == 1 && address == kTpeg && !damaged) {
                block[at + 10] ^= 0x5A;
                block[at + 11] ^= 0xA5;
                damaged = true;
            }
            at += (static_cast<std::size_t>(block[at] >> 6) + 1) * 24;
        }
    }
    ASSERT_TRUE(damaged);
    ASSERT_GE(tables, 3u);
    ASSERT_TRUE(m_harness.InitAndStart());
    m_harness.Feed(blocks, Word(false, 1));
    const TdcCounters counters = DecoderHarness::Tdc();
    EXPECT_EQ(counters.packetCrcErrors, 0u);
    EXPECT_EQ(counters.dataGroups, 24u);
    EXPECT_GT(counters.fecCorrectedBytes, 0u);
}

TEST_F(FecFromTheFic, WithoutFecInTheFicAStrayFecHeaderHoldsNothingBack) {
    auto blocks = Blocks(4, false);
    // A damaged padding packet that reads as a FEC packet: address 1022, length code 0.
    Bytes stray(24, 0);
    stray[0] = 0x03;
    stray[1] = 0xFE;
    blocks.front().insert(blocks.front().begin(), stray.begin(), stray.end());
    ASSERT_TRUE(m_harness.InitAndStart());
    m_harness.Feed(blocks, Word(false, 0));
    EXPECT_EQ(DecoderHarness::Tdc().queuedBytes, 4u * 400u);
}

}  // namespace
