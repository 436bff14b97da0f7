#include "tools/mkbroadcast/tpeg_channel.h"

#include <algorithm>
#include <cstring>

#include "broadcast/data_group.h"
#include "broadcast/packet.h"
#include "broadcast/packet_fec.h"
#include "broadcast/sni.h"
#include "broadcast/tpeg_frame.h"

namespace mkbroadcast {

namespace bc = broadcast;

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
        bc::DataGroupHeader header;
        header.continuityIndex = m_groupContinuity;
        m_groupContinuity = (m_groupContinuity + 1) & 0x0F;
        std::vector<std::uint8_t> group;
        bc::AppendDataGroup(header, transport, group);
        bc::AppendDataGroupPackets(group, m_address, m_source.packetSize, m_packetContinuity,
                                   m_queue);
    }
}

void TpegChannel::Generate(std::uint32_t frame) {
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
    const DataSetContent& set = m_content.At(m_app, frame);
    if (m_message >= set.messages.size()) {
        m_message = 0;
    }
    bc::DataSetMessage message;
    message.version = set.version;
    message.index = static_cast<std::uint16_t>(m_message);
    message.count = static_cast<std::uint16_t>(set.messages.size());
    message.payload = set.messages[m_message];
    std::vector<std::uint8_t> data;
    bc::AppendDataSetMessage(message, data);
    AppendTransportFrame(static_cast<std::uint8_t>(m_app + 1), data);
    if (++m_message >= set.messages.size()) {
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
        if (m_queueAt == m_queue.size()) {
            m_queue.clear();
            m_queueAt = 0;
            Generate(frame);
        }
        const std::size_t size = bc::PacketSizeOfCode(m_queue[m_queueAt] >> 6);
        const std::size_t tableRoom =
            m_fec ? bc::kFecApplicationTableSize - m_table.size() : frameRoom;
        if (size <= std::min(frameRoom, tableRoom)) {
            Emit(std::span(m_queue).subspan(m_queueAt, size), out, at);
            m_queueAt += size;
        } else if (frameRoom >= bc::kMinPacketSize) {
            Emit(padding, out, at);
        } else {
            break;
        }
    }
    std::memset(out.data() + at, 0, out.size() - at);
}

}  // namespace mkbroadcast
