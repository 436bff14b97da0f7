#include "decoders/tdc_decoder.h"

#include <algorithm>

#include "broadcast/data_group.h"
#include "broadcast/msc_data_path.h"
#include "platform/format.h"

namespace decoders {

std::optional<TdcConfig> TdcConfig::FromWords(const std::uint32_t* words) {
    if (words == nullptr || words[2] != kPacketModeDataGroups) {
        return std::nullopt;
    }
    if (words[0] < TpegQueue::kMinCapacity || words[0] > TpegQueue::kMaxCapacity ||
        words[1] < kMinDataGroup) {
        return std::nullopt;
    }
    return TdcConfig{words[0], std::min<std::size_t>(words[1], broadcast::kMaxDataGroupSize)};
}

TdcDecoder::~TdcDecoder() {
    std::lock_guard lock(m_lock);
    ReleaseLocked();
}

void TdcDecoder::ReleaseLocked() {
    if (m_queue != nullptr) {
        m_queue->Flush();
        m_queue->Release();
        m_queue = nullptr;
    }
    m_walker.reset();
    m_follower.reset();
    m_state = TdcState::Uninitialised;
}

void TdcDecoder::ResetStreamLocked() {
    m_walker->Reset();
    m_follower->Reset();
    m_subChannel.reset();
    m_lastFrame.reset();
}

bool TdcDecoder::Init(const std::uint32_t* config) {
    const std::optional<TdcConfig> parsed = TdcConfig::FromWords(config);
    std::lock_guard lock(m_lock);
    ReleaseLocked();
    m_counters = {};
    if (!parsed) {
        return false;
    }
    m_queue = TpegQueue::Create(parsed->queueCapacity);
    if (m_queue == nullptr) {
        return false;
    }
    m_walker = std::make_unique<PacketWalker>();
    m_follower = std::make_unique<AddressFollower>(parsed->maxDataGroup);
    m_subChannel.reset();
    m_lastFrame.reset();
    m_state = TdcState::Initialised;
    return true;
}

void TdcDecoder::Uninit() {
    std::lock_guard lock(m_lock);
    ReleaseLocked();
}

std::uintptr_t TdcDecoder::QueueHandle() {
    std::lock_guard lock(m_lock);
    return m_queue != nullptr ? m_queue->Handle() : 0;
}

TdcState TdcDecoder::State() {
    std::lock_guard lock(m_lock);
    return m_state;
}

bool TdcDecoder::Start() {
    std::lock_guard lock(m_lock);
    if (m_state == TdcState::Uninitialised) {
        return false;
    }
    if (m_state != TdcState::Running) {
        // A new run may be another ensemble: nothing of the last one may splice into it.
        ResetStreamLocked();
        m_guessLogged = false;
        m_state = TdcState::Running;
    }
    return true;
}

bool TdcDecoder::Stop() {
    std::lock_guard lock(m_lock);
    if (m_state == TdcState::Uninitialised) {
        return false;
    }
    if (m_state == TdcState::Running) {
        m_state = TdcState::Stopped;
        m_queue->Flush();
    }
    return true;
}

std::intptr_t TdcDecoder::Feed(std::uintptr_t address, std::uintptr_t size,
                               std::uintptr_t subChannel, std::uintptr_t frameCounter) {
    std::lock_guard lock(m_lock);
    if (broadcast::IsTimeBlock(subChannel)) {
        return TakeTimeLocked(address, size);
    }
    if (m_state != TdcState::Running || address == 0 || size == 0 || size > kMaxBlockSize) {
        ++m_counters.ignoredBlocks;
        return 0;
    }
    // Bits the FIC part does not define must not tell two equal words apart.
    const broadcast::PacketComponentInfo component = broadcast::UnpackMscDataWord(subChannel);
    const std::uintptr_t word =
        broadcast::PackMscDataWord(broadcast::SubChannelOf(subChannel), component);
    if (m_subChannel != word) {
        if (m_subChannel) {
            ResetStreamLocked();
        }
        m_subChannel = word;
        ConfigureLocked(word);
    } else if (m_lastFrame && frameCounter != *m_lastFrame + 1) {
        // Frames went missing: the packet continuity index repeats every four packets, too
        // short to notice a gap of whole frames, so no partial data group may go on.
        m_follower->DropPartial();
    }
    m_lastFrame = frameCounter;
    ++m_counters.blocks;
    m_counters.bytes += size;
    const std::span<const std::uint8_t> block(reinterpret_cast<const std::uint8_t*>(address), size);
    m_walker->Walk(block, *this);
    m_follower->EndBlock();
    m_queue->EndBlock();
    return static_cast<std::intptr_t>(size);
}

// A time block is no MSC data: neither the stream, nor the word it compares, nor the frame
// continuity may notice it, the time only goes on to the TPEG library.
std::intptr_t TdcDecoder::TakeTimeLocked(std::uintptr_t address, std::uintptr_t size) {
    if (m_state != TdcState::Running || address == 0 || size != broadcast::kTimeBlockSize) {
        ++m_counters.ignoredBlocks;
        return 0;
    }
    m_queue->SetBroadcastTime(
        broadcast::DecodeTimeBlock(reinterpret_cast<const std::uint8_t*>(address)));
    ++m_counters.timeBlocks;
    return static_cast<std::intptr_t>(size);
}

void TdcDecoder::ConfigureLocked(std::uintptr_t word) {
    const broadcast::PacketComponentInfo component = broadcast::UnpackMscDataWord(word);
    m_follower->Configure(component);
    if (!component.known) {
        m_walker->SetFecMode(FecMode::Guess);
        if (!m_guessLogged) {
            m_guessLogged = true;
            platform::DebugPrintf(
                u"TDC: the FIC names no TPEG packet address for sub-channel %d: following the "
                u"first address whose data groups hold, packet FEC guessed\r\n",
                static_cast<int>(broadcast::SubChannelOf(word)));
        }
        return;
    }
    m_walker->SetFecMode(component.fecScheme == 1 ? FecMode::On : FecMode::Off);
}

void TdcDecoder::OnPacket(const broadcast::PacketView& packet) {
    m_follower->OnPacket(packet, *this);
}

void TdcDecoder::OnDataGroup(std::span<const std::uint8_t> dataField) {
    if (m_queue->Write(dataField)) {
        m_counters.queuedBytes += dataField.size();
    } else {
        ++m_counters.queueDrops;
    }
}

TdcCounters TdcDecoder::Counters() {
    std::lock_guard lock(m_lock);
    TdcCounters counters = m_counters;
    if (m_walker) {
        const PacketWalkStats& walk = m_walker->Stats();
        counters.packets = walk.packets;
        counters.packetCrcErrors = walk.crcErrors;
        counters.skippedBytes = walk.skippedBytes;
        counters.fecTables = walk.fecTables;
        counters.fecCorrectedBytes = walk.fecCorrectedBytes;
        counters.fecUncorrectable = walk.fecUncorrectable;
    }
    if (m_follower) {
        const FollowStats& follow = m_follower->Stats();
        counters.continuityBreaks = follow.continuityBreaks;
        counters.dataGroups = follow.dataGroups;
        counters.dataGroupErrors = follow.dataGroupErrors;
        counters.dataGroupsLost = follow.dataGroupsLost;
        counters.addressChanges = follow.addressChanges;
        counters.followedAddress = m_follower->Followed();
        counters.repeatedDataGroups = follow.repeatedDataGroups;
        counters.commandPackets = follow.commandPackets;
        counters.segmentsDropped = follow.segmentsDropped;
    }
    return counters;
}

}  // namespace decoders
