#include "decoders/address_follower.h"

#include "broadcast/data_group.h"
#include "broadcast/packet_fec.h"

namespace decoders {

namespace bc = broadcast;

namespace {

// MOT header, body, and their conditional-access variants: another kind of data service.
bool IsMotType(std::uint8_t type) {
    return type >= 3 && type <= 6;
}

}  // namespace

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
    m_stream.Reset();
    m_followed = nullptr;
    m_silentBlocks = 0;
    if (m_component.known) {
        Follow(m_slots[0]);
    }
}

void AddressFollower::Configure(const bc::PacketComponentInfo& component) {
    if (component == m_component) {
        return;
    }
    m_component = component;
    if (component.known) {
        Slot& slot = m_slots[0];
        if (!slot.assembler || slot.assembler->Address() != component.address) {
            slot.assembler = std::make_unique<bc::DataGroupAssembler>(component.address);
        }
        for (std::size_t i = 1; i < m_slots.size(); ++i) {
            m_slots[i].assembler.reset();
        }
    }
    Reset();
}

void AddressFollower::Follow(Slot& slot) {
    m_followed = &slot;
    m_silentBlocks = 0;
    m_stream.Reset();
    ++m_stats.addressChanges;
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
    if (!m_component.known && m_followed != nullptr && ++m_silentBlocks >= kSilenceBlocks) {
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
            if (m_component.known && m_component.dgFlag) {
                FeedStream(*m_followed, packet, sink);
            } else {
                Feed(*m_followed, packet, sink);
            }
        }
        return;
    }
    Slot* slot = FindSlot(address);
    if (slot == nullptr) {
        // Only a first packet can begin a data group worth a candidate.
        if (!packet.header.first || packet.header.command) {
            return;
        }
        slot = TakeSlot(address);
    }
    Feed(*slot, packet, sink);
}

void AddressFollower::FeedStream(Slot& slot, const bc::PacketView& packet, DataGroupSink& sink) {
    if (slot.heard && packet.header.continuityIndex != slot.nextContinuity) {
        ++m_stats.continuityBreaks;
    }
    slot.heard = true;
    slot.nextContinuity = (packet.header.continuityIndex + 1) & 3;
    if (packet.header.command) {
        ++m_stats.commandPackets;
        return;
    }
    if (!packet.useful.empty()) {
        sink.OnDataGroup(packet.useful);
    }
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
    if (result.status == bc::AssemblyStatus::Command) {
        ++m_stats.commandPackets;
    } else if (result.status == bc::AssemblyStatus::Complete) {
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
    if (!m_component.known && !group.header.crc) {
        // Without the FIC naming the address, a group without a CRC is any bytes at all.
        ++m_stats.dataGroupErrors;
        return;
    }
    ++m_stats.dataGroups;
    if (m_followed == nullptr) {
        if (IsMotType(group.header.type)) {
            return;
        }
        Follow(slot);
        for (Slot& other : m_slots) {
            if (&other != &slot && other.assembler) {
                other.assembler->Reset();
                other.heard = false;
            }
        }
    }
    if (m_followed != &slot) {
        return;
    }
    const bc::StreamStep step = m_stream.Push(group);
    switch (step.verdict) {
        case bc::StreamVerdict::Passed:
            sink.OnDataGroup(step.data);
            break;
        case bc::StreamVerdict::Repetition:
            ++m_stats.repeatedDataGroups;
            break;
        case bc::StreamVerdict::SegmentDropped:
        case bc::StreamVerdict::TooLarge:
            ++m_stats.segmentsDropped;
            break;
        case bc::StreamVerdict::SegmentHeld:
            break;
    }
}

}  // namespace decoders
