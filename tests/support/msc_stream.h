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
#include "broadcast/tpeg_message.h"
#include "broadcast/tpeg_message_store.h"

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

// Expiry time of the messages tests send: after any clock a test runs by (2100-01-01).
inline constexpr std::uint32_t kFarExpiry = 4102444800;

// content cut into TPEG2 messages of at most messageSize bytes of body: message n (ids from 1)
// holds the n-th piece, all of one version.
inline std::vector<Bytes> ContentMessages(std::uint8_t version,
                                          std::span<const std::uint8_t> content,
                                          std::size_t messageSize = 200) {
    const std::size_t count =
        std::max<std::size_t>(1, (content.size() + messageSize - 1) / messageSize);
    std::vector<Bytes> messages;
    for (std::size_t i = 0; i < count; ++i) {
        broadcast::MessageManagement mmc;
        mmc.messageId = static_cast<std::uint32_t>(i + 1);
        mmc.versionId = version;
        mmc.expiryTime = kFarExpiry;
        const std::size_t at = std::min(content.size(), i * messageSize);
        messages.emplace_back();
        broadcast::AppendTpegMessage(
            0, mmc, content.subspan(at, std::min(messageSize, content.size() - at)),
            messages.back());
    }
    return messages;
}

// Those messages of application `app` in as few transport frames of at most frameData bytes as
// they fit (one for a few kB of content), so that each frame is one change of the application's
// messages; frameData no larger than messageSize puts one message in each frame.
inline std::vector<Bytes> MessageFrames(std::size_t app, std::uint8_t version,
                                        std::span<const std::uint8_t> content,
                                        std::size_t messageSize = 200,
                                        std::size_t frameData = 7000) {
    std::vector<Bytes> frames;
    Bytes data{0};
    const auto flush = [&] {
        frames.push_back(TransportFrame(static_cast<std::uint8_t>(app + 1), data));
        data.assign(1, 0);
    };
    for (const Bytes& message : ContentMessages(version, content, messageSize)) {
        if (data[0] > 0 && (data.size() + message.size() > frameData || data[0] == 255)) {
            flush();
        }
        ++data[0];
        data.insert(data.end(), message.begin(), message.end());
    }
    flush();
    return frames;
}

// The data file holding exactly those messages of application `app`.
inline Bytes MessageFile(std::size_t app, std::uint8_t version,
                         std::span<const std::uint8_t> content, std::size_t messageSize = 200) {
    const std::vector<Bytes> messages = ContentMessages(version, content, messageSize);
    Bytes file;
    broadcast::AppendMessageFileHeader(static_cast<std::uint32_t>(messages.size()), file);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        broadcast::AppendMessageFileEntry({static_cast<std::uint32_t>(i + 1), version, kFarExpiry,
                                           messages[i], broadcast::TpegApplications()[app].aid},
                                          file);
    }
    return file;
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
