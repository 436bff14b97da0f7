#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace broadcast {

// Packet-mode FEC (FIG 0/14 scheme 1): every 2256 bytes of packets (the application data table,
// 12 rows × 188 columns, filled column by column in stream order) are followed by 9 FEC packets
// of 24 bytes on address 1022. Each row is an RS(204,188) code word (shortened RS(255,239),
// field polynomial 0x11D, first root α^0); its 16 parity bytes form the RS data table (12 × 16,
// also column by column), carried 22 bytes per FEC packet after a 2-byte header (length code 0,
// a 4-bit FEC packet counter 0..8, the address), the last 6 bytes being padding.
inline constexpr std::size_t kFecApplicationTableSize = 2256;
inline constexpr std::size_t kFecRows = 12;
inline constexpr std::size_t kFecDataColumns = 188;
inline constexpr std::size_t kFecParityColumns = 16;
inline constexpr std::size_t kFecPacketCount = 9;
inline constexpr std::size_t kFecPacketSize = 24;
inline constexpr std::uint16_t kFecPacketAddress = 1022;
inline constexpr std::size_t kFecFrameSize =
    kFecApplicationTableSize + kFecPacketCount * kFecPacketSize;

// Appends the 9 FEC packets protecting table (exactly kFecApplicationTableSize bytes of whole
// packets).
void AppendFecPackets(std::span<const std::uint8_t> table, std::vector<std::uint8_t>& out);

enum class FecStatus {
    Pending,        // the packet is held until its FEC frame is complete
    Corrected,      // released is a whole application data table, corrected where possible
    Uncorrectable,  // released is a whole table with rows beyond repair left as they were
    Unprotected,    // released holds packets whose FEC packets never came, passed on as they were
};

struct FecStep {
    FecStatus status = FecStatus::Pending;
    std::span<const std::uint8_t> released;  // whole packets, valid until the next Push
    std::size_t correctedBytes = 0;
};

// Receiver side: takes whole packets (each as long as its length code says) in stream order
// and releases the data packets once their FEC frame is complete, with errors corrected. FEC
// packets themselves are never released. Buffers are allocated once.
class PacketFecDecoder {
  public:
    PacketFecDecoder();
    ~PacketFecDecoder();
    PacketFecDecoder(const PacketFecDecoder&) = delete;
    PacketFecDecoder& operator=(const PacketFecDecoder&) = delete;

    FecStep Push(std::span<const std::uint8_t> packet);

    // How many of bytes (the rest of a block, at least 2 bytes) to push next. A FEC packet is
    // 24 bytes whatever its length code says: nothing protects that header. Once a FEC frame
    // has been taken whole the decoder is in step with the frames: the table is filled byte
    // for byte up to its end (a damaged length code is repaired by the correction, not
    // trusted), and the 216 bytes after a full table are the FEC packets by position.
    std::size_t NextPushSize(std::span<const std::uint8_t> bytes) const;
    bool InStep() const { return m_inStep; }

  private:
    FecStep ReleaseAll(FecStatus status);
    FecStep Correct();

    void* m_rs = nullptr;
    std::vector<std::uint8_t> m_table;   // data packets waiting for their FEC packets
    std::vector<std::uint8_t> m_parity;  // RS data table from the FEC packets
    std::vector<std::uint8_t> m_out;
    std::size_t m_fecPackets = 0;
    std::size_t m_fecAddressed = 0;  // FEC packets of the frame that read address 1022
    bool m_inStep = false;
};

}  // namespace broadcast
