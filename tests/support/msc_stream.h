// Builds what a tuned TPEG sub-channel delivers: TPEG transport frames in MSC
// data groups, split into packets of one address and cut into the blocks of
// 24 ms frames, with packet FEC when asked. Header only: it needs the
// broadcast library, which only some test folders link.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "broadcast/data_group.h"
#include "broadcast/packet.h"
#include "broadcast/packet_fec.h"
#include "broadcast/sni.h"
#include "broadcast/tpeg_application.h"
#include "broadcast/tpeg_frame.h"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

inline constexpr broadcast::ServiceId kTestSid{1, 8, 8};

// One service frame with one component frame, as a transport frame.
inline Bytes TransportFrame(std::uint8_t scid, std::span<const std::uint8_t> componentData) {
    Bytes service;
    broadcast::AppendServiceFrameHeader(kTestSid, 0, service);
    broadcast::AppendComponentFrame(scid, componentData, service);
    Bytes frame;
    broadcast::AppendTransportFrame(broadcast::kServiceFrameType, service, frame);
    return frame;
}

// The SNI mapping SCID i + 1 to the i-th application, for every application.
inline Bytes SniFrame() {
    broadcast::SniTable sni;
    sni.version = 1;
    const auto apps = broadcast::TpegApplications();
    for (std::size_t i = 0; i < apps.size(); ++i) {
        sni.entries.push_back({static_cast<std::uint8_t>(i + 1), 0, 0, apps[i].aid});
    }
    sni.serviceName = "Test TPEG";
    Bytes data;
    broadcast::AppendSni(sni, data);
    return TransportFrame(broadcast::kSniScid, data);
}

// The transport frames of one data set of application `app`, messages of at most
// messageSize payload bytes.
inline std::vector<Bytes> DataSetFrames(std::size_t app, std::uint8_t version,
                                        std::span<const std::uint8_t> content,
                                        std::size_t messageSize = 200) {
    const std::size_t count =
        std::max<std::size_t>(1, (content.size() + messageSize - 1) / messageSize);
    std::vector<Bytes> frames;
    for (std::size_t i = 0; i < count; ++i) {
        broadcast::DataSetMessage message;
        message.version = version;
        message.index = static_cast<std::uint16_t>(i);
        message.count = static_cast<std::uint16_t>(count);
        const std::size_t at = std::min(content.size(), i * messageSize);
        message.payload = content.subspan(at, std::min(messageSize, content.size() - at));
        Bytes data;
        broadcast::AppendDataSetMessage(message, data);
        frames.push_back(TransportFrame(static_cast<std::uint8_t>(app + 1), data));
    }
    return frames;
}

inline Bytes ContentOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Packets of one address in stream order, then cut into blocks.
class MscStream {
  public:
    explicit MscStream(std::uint16_t address = 0x100, std::size_t packetSize = 96)
        : m_address(address), m_packetSize(packetSize) {}

    // One data group (type 0, CRC) around data; returns the data group's bytes so callers
    // can damage them before they are packetised with AddDataGroupBytes.
    Bytes DataGroup(std::span<const std::uint8_t> data) {
        broadcast::DataGroupHeader header;
        header.continuityIndex = m_groupContinuity;
        m_groupContinuity = (m_groupContinuity + 1) & 0x0F;
        Bytes group;
        broadcast::AppendDataGroup(header, data, group);
        return group;
    }
    void AddDataGroupBytes(std::span<const std::uint8_t> group) {
        broadcast::AppendDataGroupPackets(group, m_address, m_packetSize, m_packetContinuity,
                                          m_packets);
    }
    void Add(std::span<const std::uint8_t> data) { AddDataGroupBytes(DataGroup(data)); }
    void AddAll(const std::vector<Bytes>& frames) {
        for (const Bytes& frame : frames) {
            Add(frame);
        }
    }
    void SetAddress(std::uint16_t address) { m_address = address; }

    Bytes& Packets() { return m_packets; }

    // The packets cut into blocks of blockSize bytes (a multiple of 24) holding whole
    // packets, padding packets filling the rest. With fec, every 2256 bytes of packets are
    // followed by their FEC packets, the last table completed with padding.
    std::vector<Bytes> Blocks(std::size_t blockSize = 192, bool fec = false) const {
        Bytes padding;
        broadcast::AppendPaddingPacket(broadcast::kMinPacketSize, padding);
        std::vector<Bytes> blocks(1);
        Bytes table;
        Bytes fecPackets;
        std::size_t fecAt = 0;
        std::size_t at = 0;
        while (at < m_packets.size() || fecAt < fecPackets.size() || (fec && !table.empty())) {
            Bytes item;
            bool advance = false;
            const std::size_t size = at < m_packets.size()
                                         ? broadcast::PacketSizeOfCode(m_packets[at] >> 6)
                                         : broadcast::kMaxPacketSize * 100;
            const bool isFec = fecAt < fecPackets.size();
            if (isFec) {
                item.assign(fecPackets.begin() + static_cast<std::ptrdiff_t>(fecAt),
                            fecPackets.begin() +
                                static_cast<std::ptrdiff_t>(fecAt + broadcast::kFecPacketSize));
            } else if (fec && table.size() + size > broadcast::kFecApplicationTableSize) {
                item = padding;
            } else {
                item.assign(m_packets.begin() + static_cast<std::ptrdiff_t>(at),
                            m_packets.begin() + static_cast<std::ptrdiff_t>(at + size));
                advance = true;
            }
            const std::size_t room = blockSize - blocks.back().size();
            if (room < item.size()) {
                if (room == 0) {
                    blocks.emplace_back();
                    continue;
                }
                item = padding;
                advance = false;
            }
            blocks.back().insert(blocks.back().end(), item.begin(), item.end());
            if (isFec) {
                fecAt += broadcast::kFecPacketSize;
            } else if (fec) {
                table.insert(table.end(), item.begin(), item.end());
                if (table.size() == broadcast::kFecApplicationTableSize) {
                    broadcast::AppendFecPackets(table, fecPackets);
                    table.clear();
                }
            }
            if (advance) {
                at += size;
            }
        }
        while (blocks.back().size() < blockSize) {
            blocks.back().insert(blocks.back().end(), padding.begin(), padding.end());
        }
        return blocks;
    }

  private:
    std::uint16_t m_address;
    std::size_t m_packetSize;
    std::uint8_t m_packetContinuity = 0;
    std::uint8_t m_groupContinuity = 0;
    Bytes m_packets;
};

}  // namespace testsupport
