#include "broadcast/data_group_assembler.h"

#include <cstring>

#include "broadcast/data_group.h"

namespace broadcast {

DataGroupAssembler::DataGroupAssembler(std::uint16_t address)
    : m_address(address), m_buffer(kMaxDataGroupSize) {}

void DataGroupAssembler::Reset() {
    m_active = false;
    m_size = 0;
}

AssemblyResult DataGroupAssembler::Push(const PacketView& packet) {
    const PacketHeader& header = packet.header;
    if (header.address != m_address) {
        return {AssemblyStatus::OtherAddress, {}};
    }
    if (header.command) {
        if (m_active) {
            if (header.continuityIndex != m_nextContinuity) {
                ++m_dropped;
                Reset();
                return {AssemblyStatus::Gap, {}};
            }
            m_nextContinuity = (header.continuityIndex + 1) & 3;
        }
        return {AssemblyStatus::Command, {}};
    }
    if (header.first) {
        if (m_active) {
            ++m_dropped;
        }
        m_active = true;
        m_size = 0;
    } else if (!m_active) {
        return {AssemblyStatus::Orphan, {}};
    } else if (header.continuityIndex != m_nextContinuity) {
        ++m_dropped;
        Reset();
        return {AssemblyStatus::Gap, {}};
    }
    if (m_size + packet.useful.size() > m_buffer.size()) {
        ++m_dropped;
        Reset();
        return {AssemblyStatus::Overflow, {}};
    }
    if (!packet.useful.empty()) {
        std::memcpy(m_buffer.data() + m_size, packet.useful.data(), packet.useful.size());
    }
    m_size += packet.useful.size();
    m_nextContinuity = (header.continuityIndex + 1) & 3;
    if (!header.last) {
        return {AssemblyStatus::Pending, {}};
    }
    m_active = false;
    return {AssemblyStatus::Complete, std::span<const std::uint8_t>(m_buffer.data(), m_size)};
}

}  // namespace broadcast
