#include "decoders/address_follower.h"

#include "broadcast/data_group.h"
#include "broadcast/packet_fec.h"

namespace decoders {

namespace bc = broadcast;

AddressFollower::AddressFollower(std::size_t maxDataGroup) : m_maxDataGroup(maxDataGroup) {}

std::uint16_t AddressFollower::Followed() const {
    return m_followed != nullptr ? m_followed->assembler->Address() : 0;
}

void AddressFollower::Reset() {
    for (Slot& slot : m_slots) {
        if (slot.assembler) {
            slot.assembler->Reset();
        }
        slot.heard = false;
    }
    m_followed = nullptr;
    m_silentBlocks = 0;
}

void AddressFollower::DropPartial() {
    for (Slot& slot : m_slots) {
        if (slot.assembler) {
            slot.assembler->Reset();
        }
        slot.heard = false;
    }
}

void AddressFollower::EndBlock() {
    if (m_followed != nullptr && ++m_silentBlocks >= kSilenceBlocks) {
        m_followed = nullptr;
        m_silentBlocks = 0;
    }
}

AddressFollower::Slot* AddressFollower::FindSlot(std::uint16_t address) {
    for (Slot& slot : m_slots) {
        if (slot.assembler && slot.assembler->Address() == address) {
            return &slot;
        }
    }
    return nullptr;
}

AddressFollower::Slot* AddressFollower::TakeSlot(std::uint16_t address) {
    Slot* oldest = &m_slots[0];
    for (Slot& slot : m_slots) {
        if (!slot.assembler) {
            oldest = &slot;
            break;
        }
        if (slot.lastUse < oldest->lastUse) {
            oldest = &slot;
        }
    }
    oldest->assembler = std::make_unique<bc::DataGroupAssembler>(address);
    oldest->heard = false;
    return oldest;
}

void AddressFollower::OnPacket(const bc::PacketView& packet, DataGroupSink& sink) {
    const std::uint16_t address = packet.header.address;
    if (address == bc::kPaddingPacketAddress || address == bc::kFecPacketAddress) {
        return;
    }
    if (m_followed != nullptr) {
        if (address == m_followed->assembler->Address()) {
            m_silentBlocks = 0;
            Feed(*m_followed, packet, sink);
        }
        return;
    }
    Slot* slot = FindSlot(address);
    if (slot == nullptr) {
        // Only a first packet can begin a data group worth a candidate.
        if (!packet.header.first) {
            return;
        }
        slot = TakeSlot(address);
    }
    Feed(*slot, packet, sink);
}

void AddressFollower::Feed(Slot& slot, const bc::PacketView& packet, DataGroupSink& sink) {
    slot.lastUse = ++m_packetClock;
    if (slot.heard && packet.header.continuityIndex != slot.nextContinuity) {
        ++m_stats.continuityBreaks;
    }
    slot.heard = true;
    slot.nextContinuity = (packet.header.continuityIndex + 1) & 3;
    const std::size_t droppedBefore = slot.assembler->DroppedGroups();
    const bc::AssemblyResult result = slot.assembler->Push(packet);
    m_stats.dataGroupsLost += slot.assembler->DroppedGroups() - droppedBefore;
    if (result.status == bc::AssemblyStatus::Complete) {
        HandleDataGroup(slot, result.dataGroup, sink);
    }
}

void AddressFollower::HandleDataGroup(Slot& slot, std::span<const std::uint8_t> bytes,
                                      DataGroupSink& sink) {
    if (bytes.size() > m_maxDataGroup) {
        ++m_stats.dataGroupsLost;
        return;
    }
    const bc::DataGroupResult group = bc::ParseDataGroup(bytes);
    if (group.error != bc::DataGroupError::None) {
        ++m_stats.dataGroupErrors;
        return;
    }
    ++m_stats.dataGroups;
    if (m_followed == nullptr) {
        m_followed = &slot;
        m_silentBlocks = 0;
        ++m_stats.addressChanges;
        for (Slot& other : m_slots) {
            if (&other != &slot && other.assembler) {
                other.assembler->Reset();
                other.heard = false;
            }
        }
    }
    if (m_followed == &slot) {
        sink.OnDataGroup(group.data);
    }
}

}  // namespace decoders
