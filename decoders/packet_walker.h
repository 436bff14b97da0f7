// Walks the MSC bytes of one frame packet by packet.
//
// Packet sizes are all multiples of 24 bytes and a block holds whole packets,
// so after a damaged packet the walk steps on by 24 bytes until a packet's CRC
// holds again: a damaged length code costs no more than the packet it is in.
// With packet FEC the packets go through the FEC decoder first and the
// corrected ones are walked. Whether the sub-channel carries FEC is the FIC's
// to say (FIG 0/14); only when it said nothing is it guessed from the first
// FEC packet (address 1022) seen, and then stays on until Reset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "broadcast/packet.h"
#include "broadcast/packet_fec.h"

namespace decoders {

class PacketSink {
  public:
    virtual ~PacketSink() = default;
    // A packet whose CRC held (padding included); its bytes live until the call returns.
    virtual void OnPacket(const broadcast::PacketView& packet) = 0;
};

struct PacketWalkStats {
    std::uint64_t packets = 0;
    std::uint64_t crcErrors = 0;
    std::uint64_t skippedBytes = 0;
    std::uint64_t fecTables = 0;
    std::uint64_t fecCorrectedBytes = 0;
    std::uint64_t fecUncorrectable = 0;
};

enum class FecMode {
    Guess,  // the FIC said nothing: on from the first FEC packet seen
    Off,
    On,
};

class PacketWalker {
  public:
    PacketWalker();

    // Takes effect at once; a change forgets the FEC state.
    void SetFecMode(FecMode mode);

    void Walk(std::span<const std::uint8_t> block, PacketSink& sink);
    // Forgets FEC mode and any packets held for their FEC frame.
    void Reset();
    const PacketWalkStats& Stats() const { return m_stats; }

  private:
    void WalkPackets(std::span<const std::uint8_t> bytes, PacketSink& sink);
    void WalkThroughFec(std::span<const std::uint8_t> block, PacketSink& sink);
    static bool CarriesFecPackets(std::span<const std::uint8_t> block);

    std::unique_ptr<broadcast::PacketFecDecoder> m_fec;
    FecMode m_mode = FecMode::Guess;
    bool m_fecMode = false;
    PacketWalkStats m_stats;
};

}  // namespace decoders
