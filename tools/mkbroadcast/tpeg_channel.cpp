#include "tools/mkbroadcast/tpeg_channel.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "broadcast/bytes.h"
#include "broadcast/data_group.h"
#include "broadcast/packet.h"
#include "broadcast/packet_fec.h"
#include "broadcast/sni.h"
#include "broadcast/tpeg_frame.h"
#include "broadcast/tpeg_message.h"

namespace mkbroadcast {

namespace bc = broadcast;

namespace {

// Component frames of about this many bytes of messages: real carousels group the messages of
// an application, and a data group holds a few kB.
constexpr std::size_t kComponentFrameTarget = 1500;
constexpr std::uint8_t kMessageComponentId = 0;
// Bytes of a recorded stream per data group.
constexpr std::size_t kStreamPiece = 2000;

}  // namespace

TpegChannel::TpegChannel(const TpegSource& source, std::uint16_t address, bool fec,
                         ContentSource& content)
    : m_source(source),
      m_address(address),
      m_fec(fec),
      m_content(content),
      m_shaper(source.tpegSid, source.shape) {}

void TpegChannel::AppendTransportFrame(std::uint8_t scid,
                                       const std::vector<std::uint8_t>& componentData) {
    for (const std::vector<std::uint8_t>& transport : m_shaper.Frames(scid, componentData)) {
        AppendToSubChannel(transport);
    }
}

void TpegChannel::AppendToSubChannel(const std::vector<std::uint8_t>& transport) {
    if (m_source.dgFlag) {
        bc::AppendDataGroupPackets(transport, m_address, m_source.packetSize, m_packetContinuity,
                                   m_queue);
        return;
    }
    const std::size_t pieceSize =
        m_source.segmentSize != 0 ? m_source.segmentSize : transport.size();
    const std::span<const std::uint8_t> all(transport);
    for (std::size_t at = 0, segment = 0; at < all.size(); at += pieceSize, ++segment) {
        const std::size_t take = std::min(pieceSize, all.size() - at);
        bc::DataGroupHeader header;
        header.continuityIndex = m_groupContinuity;
        m_groupContinuity = (m_groupContinuity + 1) & 0x0F;
        if (m_source.segmentSize != 0) {
            header.hasSegment = true;
            header.segmentNumber = static_cast<std::uint16_t>(segment);
            header.lastSegment = at + take == all.size();
            header.hasUserAccess = true;
            header.hasTransportId = true;
            header.transportId = m_transportId;
        }
        for (int copy = m_source.repeat; copy >= 0; --copy) {
            header.repetitionIndex = static_cast<std::uint8_t>(copy);
            std::vector<std::uint8_t> group;
            bc::AppendDataGroup(header, all.subspan(at, take), group);
            bc::AppendDataGroupPackets(group, m_address, m_source.packetSize, m_packetContinuity,
                                       m_queue);
        }
    }
    ++m_transportId;
}

void TpegChannel::AppendNeighbourGroup(std::uint32_t frame) {
    // A slideshow's MOT header and body segments, small enough for one 24-byte packet.
    bc::DataGroupHeader header;
    header.type = (frame % 2 == 0) ? 3 : 4;
    header.continuityIndex = m_neighbourGroupContinuity;
    m_neighbourGroupContinuity = (m_neighbourGroupContinuity + 1) & 0x0F;
    header.hasSegment = true;
    header.segmentNumber = static_cast<std::uint16_t>((frame / 2) & 0x7FFF);
    header.lastSegment = false;
    header.hasUserAccess = true;
    header.hasTransportId = true;
    header.transportId = 0x4D4F;
    std::array<std::uint8_t, 10> body{};
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<std::uint8_t>(frame + i);
    }
    std::vector<std::uint8_t> group;
    bc::AppendDataGroup(header, body, group);
    m_neighbour.clear();
    m_neighbourAt = 0;
    bc::AppendDataGroupPackets(group, m_source.sharedAddress, bc::kMinPacketSize,
                               m_neighbourPacketContinuity, m_neighbour);
}

void TpegChannel::Generate(std::uint32_t frame) {
    if (const std::vector<std::uint8_t>& stream = m_content.Stream(); !stream.empty()) {
        // Cut anywhere, as data groups often are: the receiver finds the frames by their sync.
        const std::size_t take = std::min(kStreamPiece, stream.size() - m_streamAt);
        AppendToSubChannel({stream.begin() + static_cast<std::ptrdiff_t>(m_streamAt),
                            stream.begin() + static_cast<std::ptrdiff_t>(m_streamAt + take)});
        m_streamAt = (m_streamAt + take) % stream.size();
        return;
    }
    const auto apps = bc::TpegApplications();
    if (m_sniNext) {
        m_sniNext = false;
        bc::SniTable sni;
        sni.version = 1;
        sni.characterTable = 0;
        for (std::size_t app = 0; app < apps.size(); ++app) {
            if (m_content.Has(app)) {
                sni.entries.push_back({static_cast<std::uint8_t>(app + 1), 0, 0, apps[app].aid});
            }
        }
        sni.serviceName = m_source.serviceName;
        sni.serviceDescription = "TPEG data service";
        std::vector<std::uint8_t> data;
        bc::AppendSni(sni, data);
        AppendTransportFrame(bc::kSniScid, data);
        return;
    }
    while (!m_content.Has(m_app)) {
        m_app = (m_app + 1) % apps.size();
    }
    const ApplicationContent& content = m_content.At(m_app, frame);
    if (m_message >= content.messages.size()) {
        m_message = 0;
    }
    // As many messages as fit one component frame of moderate size, at least one.
    std::vector<std::uint8_t> messages;
    std::size_t count = 0;
    while (m_message < content.messages.size() && count < 255 &&
           (count == 0 || messages.size() < kComponentFrameTarget)) {
        const CarouselMessage& message = content.messages[m_message++];
        bc::MessageManagement mmc;
        mmc.messageId = message.id;
        mmc.versionId = content.version;
        mmc.expiryTime = content.expiry;
        mmc.cancel = message.cancel;
        bc::AppendTpegMessage(kMessageComponentId, mmc, message.body, messages);
        ++count;
    }
    std::vector<std::uint8_t> data;
    // Reserving up front also keeps GCC 12's -O3 array-bounds check from a false alarm on
    // the grow-from-one-byte insert.
    data.reserve(1 + messages.size());
    bc::AppendU8(data, static_cast<unsigned>(count));
    bc::AppendBytes(data, messages);
    AppendTransportFrame(static_cast<std::uint8_t>(m_app + 1), data);
    if (m_message >= content.messages.size()) {
        m_message = 0;
        if (++m_app == apps.size()) {
            m_app = 0;
            m_sniNext = true;
        }
    }
}

void TpegChannel::Emit(std::span<const std::uint8_t> packet, std::span<std::uint8_t> out,
                       std::size_t& at) {
    std::memcpy(out.data() + at, packet.data(), packet.size());
    at += packet.size();
    if (!m_fec) {
        return;
    }
    m_table.insert(m_table.end(), packet.begin(), packet.end());
    if (m_table.size() == bc::kFecApplicationTableSize) {
        m_fecQueue.erase(m_fecQueue.begin(),
                         m_fecQueue.begin() + static_cast<std::ptrdiff_t>(m_fecAt));
        m_fecAt = 0;
        bc::AppendFecPackets(m_table, m_fecQueue);
        m_table.clear();
    }
}

void TpegChannel::Fill(std::uint32_t frame, std::span<std::uint8_t> out) {
    std::vector<std::uint8_t> padding;
    bc::AppendPaddingPacket(bc::kMinPacketSize, padding);
    if (m_source.sharedAddress != 0) {
        AppendNeighbourGroup(frame);
    }
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t frameRoom = out.size() - at;
        if (m_fecAt < m_fecQueue.size()) {
            if (frameRoom < bc::kFecPacketSize) {
                break;
            }
            std::memcpy(out.data() + at, m_fecQueue.data() + m_fecAt, bc::kFecPacketSize);
            m_fecAt += bc::kFecPacketSize;
            at += bc::kFecPacketSize;
            continue;
        }
        const bool neighbour = m_neighbourAt < m_neighbour.size();
        if (!neighbour && m_queueAt == m_queue.size()) {
            m_queue.clear();
            m_queueAt = 0;
            Generate(frame);
        }
        std::vector<std::uint8_t>& queue = neighbour ? m_neighbour : m_queue;
        std::size_t& queueAt = neighbour ? m_neighbourAt : m_queueAt;
        const std::size_t size = bc::PacketSizeOfCode(queue[queueAt] >> 6);
        const std::size_t tableRoom =
            m_fec ? bc::kFecApplicationTableSize - m_table.size() : frameRoom;
        if (size <= std::min(frameRoom, tableRoom)) {
            Emit(std::span(queue).subspan(queueAt, size), out, at);
            queueAt += size;
        } else if (frameRoom >= bc::kMinPacketSize) {
            Emit(padding, out, at);
        } else {
            break;
        }
    }
    std::memset(out.data() + at, 0, out.size() - at);
}

}  // namespace mkbroadcast
