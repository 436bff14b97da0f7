#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "broadcast/packet.h"

namespace broadcast {

enum class AssemblyStatus {
    Pending,       // packet taken, the data group is not complete yet
    Complete,      // dataGroup holds a complete data group (its own CRC not checked yet)
    OtherAddress,  // packet ignored: it belongs to another address
    Orphan,        // continuation packet with no data group started: ignored
    Gap,           // continuity index skipped: the partial data group was dropped with it
    Overflow,      // data group longer than any valid one: dropped
    Command,       // command packet: counts in the continuity, carries no data group bytes
};

struct AssemblyResult {
    AssemblyStatus status = AssemblyStatus::Pending;
    std::span<const std::uint8_t> dataGroup;  // valid until the next Push or Reset
};

// Reassembles the data groups of one packet address from packets in arrival order. It never
// joins bytes across a continuity gap or across a new first packet, so damage loses data groups
// but never splices two of them. Memory is reserved once; Push does not allocate.
class DataGroupAssembler {
  public:
    explicit DataGroupAssembler(std::uint16_t address);

    AssemblyResult Push(const PacketView& packet);
    void Reset();

    std::uint16_t Address() const { return m_address; }
    // Partial data groups abandoned (gap, overflow, or a new first packet before the last one).
    std::size_t DroppedGroups() const { return m_dropped; }

  private:
    std::uint16_t m_address;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_size = 0;
    bool m_active = false;
    std::uint8_t m_nextContinuity = 0;
    std::size_t m_dropped = 0;
};

}  // namespace broadcast
