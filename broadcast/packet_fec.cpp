#include "broadcast/packet_fec.h"

#include <algorithm>
#include <cstring>

#include "broadcast/bytes.h"
#include "broadcast/packet.h"

extern "C" {
#include <fec.h>
}

namespace broadcast {
namespace {

constexpr int kSymbolBits = 8;
constexpr int kFieldPolynomial = 0x11D;
constexpr int kFirstRoot = 0;
constexpr int kPrimitive = 1;
constexpr std::size_t kCodeWord = kFecDataColumns + kFecParityColumns;
constexpr int kShortening = 255 - static_cast<int>(kCodeWord);
constexpr std::size_t kFecPayload = kFecPacketSize - 2;

void* NewCodec() {
    return init_rs_char(kSymbolBits, kFieldPolynomial, kFirstRoot, kPrimitive,
                        static_cast<int>(kFecParityColumns), kShortening);
}

}  // namespace

void AppendFecPackets(std::span<const std::uint8_t> table, std::vector<std::uint8_t>& out) {
    void* rs = NewCodec();
    std::array<std::uint8_t, kFecDataColumns> row{};
    std::array<std::uint8_t, kFecParityColumns> parity{};
    std::array<std::uint8_t, kFecPacketCount * kFecPayload> rsTable{};
    for (std::size_t r = 0; r < kFecRows; ++r) {
        for (std::size_t c = 0; c < kFecDataColumns; ++c) {
            row[c] = table[c * kFecRows + r];
        }
        encode_rs_char(rs, row.data(), parity.data());
        for (std::size_t c = 0; c < kFecParityColumns; ++c) {
            rsTable[c * kFecRows + r] = parity[c];
        }
    }
    free_rs_char(rs);
    for (std::size_t i = 0; i < kFecPacketCount; ++i) {
        AppendU8(out, static_cast<unsigned>((i << 2) | (kFecPacketAddress >> 8)));
        AppendU8(out, kFecPacketAddress & 0xFF);
        AppendBytes(out, std::span(rsTable).subspan(i * kFecPayload, kFecPayload));
    }
}

PacketFecDecoder::PacketFecDecoder() : m_rs(NewCodec()) {
    m_table.reserve(kFecApplicationTableSize + 96);
    m_parity.resize(kFecPacketCount * kFecPayload);
    m_out.reserve(kFecApplicationTableSize + 96);
}

PacketFecDecoder::~PacketFecDecoder() {
    if (m_rs != nullptr) {
        free_rs_char(m_rs);
    }
}

FecStep PacketFecDecoder::ReleaseAll(FecStatus status) {
    m_out.assign(m_table.begin(), m_table.end());
    m_table.clear();
    m_fecPackets = 0;
    m_fecAddressed = 0;
    if (status == FecStatus::Unprotected) {
        m_inStep = false;
    }
    return {status, m_out, 0};
}

std::size_t PacketFecDecoder::NextPushSize(std::span<const std::uint8_t> bytes) const {
    if (bytes.size() < 2) {
        return bytes.size();
    }
    if (m_inStep) {
        const std::size_t room = m_table.size() == kFecApplicationTableSize
                                     ? kFecPacketSize
                                     : std::min(PacketSizeOfCode(bytes[0] >> 6),
                                                kFecApplicationTableSize - m_table.size());
        return std::min(room, bytes.size());
    }
    const std::uint16_t address = static_cast<std::uint16_t>(((bytes[0] & 3) << 8) | bytes[1]);
    return address == kFecPacketAddress ? kFecPacketSize : PacketSizeOfCode(bytes[0] >> 6);
}

FecStep PacketFecDecoder::Push(std::span<const std::uint8_t> packet) {
    if (packet.size() < 2) {
        return {};
    }
    const std::uint16_t address = static_cast<std::uint16_t>(((packet[0] & 3) << 8) | packet[1]);
    const bool byPosition = m_inStep && m_table.size() == kFecApplicationTableSize;
    if (byPosition || (!m_inStep && address == kFecPacketAddress)) {
        // Out of step, the header's counter is all that places the packet in its frame.
        const std::size_t counter = (packet[0] >> 2) & 0x0F;
        if (packet.size() < kFecPacketSize || m_table.size() != kFecApplicationTableSize ||
            (!byPosition && counter != m_fecPackets)) {
            return ReleaseAll(FecStatus::Unprotected);
        }
        if (address == kFecPacketAddress) {
            ++m_fecAddressed;
        }
        std::memcpy(m_parity.data() + m_fecPackets * kFecPayload, packet.data() + 2, kFecPayload);
        if (++m_fecPackets < kFecPacketCount) {
            return {};
        }
        if (m_fecAddressed <= kFecPacketCount / 2) {
            // Most of what stood where the FEC packets belong was something else: the frames
            // were lost track of, and correcting with those bytes could only do harm.
            return ReleaseAll(FecStatus::Unprotected);
        }
        m_inStep = true;
        return Correct();
    }
    FecStep step;
    if (m_fecPackets > 0 || m_table.size() + packet.size() > kFecApplicationTableSize) {
        // The table overflowed or its FEC packets broke off: what is held goes on unprotected,
        // oldest first, while the new packet starts the next table.
        step = ReleaseAll(FecStatus::Unprotected);
    }
    m_table.insert(m_table.end(), packet.begin(), packet.end());
    return step;
}

FecStep PacketFecDecoder::Correct() {
    std::array<std::uint8_t, kCodeWord> word{};
    std::size_t corrected = 0;
    bool failed = false;
    for (std::size_t r = 0; r < kFecRows; ++r) {
        for (std::size_t c = 0; c < kFecDataColumns; ++c) {
            word[c] = m_table[c * kFecRows + r];
        }
        for (std::size_t c = 0; c < kFecParityColumns; ++c) {
            word[kFecDataColumns + c] = m_parity[c * kFecRows + r];
        }
        const int errors = decode_rs_char(m_rs, word.data(), nullptr, 0);
        if (errors < 0) {
            failed = true;
            continue;
        }
        for (std::size_t c = 0; c < kFecDataColumns; ++c) {
            std::uint8_t& cell = m_table[c * kFecRows + r];
            if (cell != word[c]) {
                cell = word[c];
                ++corrected;
            }
        }
    }
    FecStep step = ReleaseAll(failed ? FecStatus::Uncorrectable : FecStatus::Corrected);
    step.correctedBytes = corrected;
    return step;
}

}  // namespace broadcast
