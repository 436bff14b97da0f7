#include "decoders/packet_walker.h"

#include <algorithm>

namespace decoders {

namespace bc = broadcast;

namespace {

std::uint16_t HeaderAddress(std::span<const std::uint8_t> packet) {
    return static_cast<std::uint16_t>(((packet[0] & 3) << 8) | packet[1]);
}

}  // namespace

PacketWalker::PacketWalker() : m_fec(std::make_unique<bc::PacketFecDecoder>()) {}

void PacketWalker::Reset() {
    if (m_fecMode) {
        m_fec = std::make_unique<bc::PacketFecDecoder>();
    }
    m_fecMode = m_mode == FecMode::On;
}

void PacketWalker::SetFecMode(FecMode mode) {
    if (mode != m_mode) {
        m_mode = mode;
        m_fec = std::make_unique<bc::PacketFecDecoder>();
        m_fecMode = mode == FecMode::On;
    }
}

void PacketWalker::Walk(std::span<const std::uint8_t> block, PacketSink& sink) {
    if (m_mode == FecMode::Guess && !m_fecMode && CarriesFecPackets(block)) {
        m_fecMode = true;
    }
    if (m_fecMode) {
        WalkThroughFec(block, sink);
    } else {
        WalkPackets(block, sink);
    }
}

bool PacketWalker::CarriesFecPackets(std::span<const std::uint8_t> block) {
    for (std::size_t at = 0; block.size() - at >= bc::kMinPacketSize;) {
        const auto packet = block.subspan(at);
        const std::size_t size = bc::PacketSizeOfCode(packet[0] >> 6);
        if (size == bc::kFecPacketSize && HeaderAddress(packet) == bc::kFecPacketAddress) {
            return true;
        }
        at += std::min(size, block.size() - at);
    }
    return false;
}

void PacketWalker::WalkPackets(std::span<const std::uint8_t> bytes, PacketSink& sink) {
    bool damaged = false;
    std::size_t at = 0;
    while (bytes.size() - at >= bc::kMinPacketSize) {
        const bc::PacketResult result = bc::ParsePacket(bytes.subspan(at));
        if (result.error == bc::PacketError::None) {
            damaged = false;
            ++m_stats.packets;
            sink.OnPacket(result.packet);
            at += result.size;
            continue;
        }
        if (!damaged) {
            ++m_stats.crcErrors;
            damaged = true;
        }
        m_stats.skippedBytes += bc::kMinPacketSize;
        at += bc::kMinPacketSize;
    }
    const auto tail = bytes.subspan(at);
    if (std::any_of(tail.begin(), tail.end(), [](std::uint8_t b) { return b != 0; })) {
        m_stats.skippedBytes += tail.size();
    }
}

void PacketWalker::WalkThroughFec(std::span<const std::uint8_t> block, PacketSink& sink) {
    // The FEC frame is a byte-exact table, so packets go in whole and damaged ones too: the
    // correction is what repairs them.
    for (std::size_t at = 0; block.size() - at >= bc::kMinPacketSize;) {
        const std::size_t size = m_fec->NextPushSize(block.subspan(at));
        if (size > block.size() - at) {
            m_stats.skippedBytes += block.size() - at;
            break;
        }
        const bc::FecStep step = m_fec->Push(block.subspan(at, size));
        at += size;
        switch (step.status) {
            case bc::FecStatus::Corrected:
                ++m_stats.fecTables;
                m_stats.fecCorrectedBytes += step.correctedBytes;
                break;
            case bc::FecStatus::Uncorrectable:
                ++m_stats.fecTables;
                ++m_stats.fecUncorrectable;
                m_stats.fecCorrectedBytes += step.correctedBytes;
                break;
            case bc::FecStatus::Pending:
            case bc::FecStatus::Unprotected:
                break;
        }
        if (!step.released.empty()) {
            WalkPackets(step.released, sink);
        }
    }
}

}  // namespace decoders
