// Chooses the TPEG component's packet address and turns its packets into the
// TPEG stream.
//
// When the FIC named the component (FIG 0/3), only its address is decoded, in
// the way the DG flag says: with MSC data groups, or the stream straight in the
// packets' data fields. A sub-channel is often shared with other data services,
// so no other address is ever looked at then.
//
// When the FIC said nothing, the decoder follows the first address whose data
// group holds together (CRC and header), and sticks to it: packets of other
// addresses are ignored while the followed one is heard. Data groups without a
// CRC, and those of the types MOT uses, never take up an address: without the
// FIC nothing vouches for them. When no good packet of it has come for
// kSilenceBlocks blocks (six seconds of frames) it is given up and the search
// starts again. Up to kCandidates addresses are assembled side by side while
// searching; setting up a candidate is the only allocation, steady following
// allocates nothing.
//
// Good data groups pass through a DataGroupStream: repeated copies are taken
// once and segment series joined before they become stream bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "broadcast/data_group_assembler.h"
#include "broadcast/data_group_stream.h"
#include "broadcast/msc_data_path.h"
#include "broadcast/packet.h"

namespace decoders {

class DataGroupSink {
  public:
    virtual ~DataGroupSink() = default;
    // The next piece of the TPEG stream: the data field of a good data group (a whole
    // segment series), or a packet's data field when the component has no data groups.
    virtual void OnDataGroup(std::span<const std::uint8_t> dataField) = 0;
};

struct FollowStats {
    std::uint64_t continuityBreaks = 0;
    std::uint64_t dataGroups = 0;
    std::uint64_t dataGroupErrors = 0;
    std::uint64_t dataGroupsLost = 0;
    std::uint64_t addressChanges = 0;
    std::uint64_t repeatedDataGroups = 0;
    std::uint64_t commandPackets = 0;
    std::uint64_t segmentsDropped = 0;
};

class AddressFollower {
  public:
    static constexpr std::size_t kCandidates = 4;
    static constexpr std::size_t kSilenceBlocks = 250;

    // Data groups longer than maxDataGroup bytes are dropped as lost.
    explicit AddressFollower(std::size_t maxDataGroup);

    void OnPacket(const broadcast::PacketView& packet, DataGroupSink& sink);
    // Marks the end of one frame's block: the clock of the silence rule.
    void EndBlock();
    // Drops partial data groups (frames were lost) but keeps following.
    void DropPartial();
    // Forgets the followed address and every candidate.
    void Reset();
    // What the FIC says about the component; known == false returns to following. Forgets
    // everything when it changes.
    void Configure(const broadcast::PacketComponentInfo& component);

    // The followed address, 0 while searching.
    std::uint16_t Followed() const;
    const FollowStats& Stats() const { return m_stats; }

  private:
    struct Slot {
        std::unique_ptr<broadcast::DataGroupAssembler> assembler;
        std::uint8_t nextContinuity = 0;
        bool heard = false;
        std::uint64_t lastUse = 0;
    };

    Slot* FindSlot(std::uint16_t address);
    Slot* TakeSlot(std::uint16_t address);
    void Feed(Slot& slot, const broadcast::PacketView& packet, DataGroupSink& sink);
    void HandleDataGroup(Slot& slot, std::span<const std::uint8_t> bytes, DataGroupSink& sink);
    void FeedStream(Slot& slot, const broadcast::PacketView& packet, DataGroupSink& sink);
    void Follow(Slot& slot);

    std::size_t m_maxDataGroup;
    broadcast::PacketComponentInfo m_component;
    broadcast::DataGroupStream m_stream;
    std::array<Slot, kCandidates> m_slots;
    Slot* m_followed = nullptr;
    std::size_t m_silentBlocks = 0;
    std::uint64_t m_packetClock = 0;
    FollowStats m_stats;
};

}  // namespace decoders
