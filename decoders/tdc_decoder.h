// The TDC library's decoder: MSC blocks in, the TPEG stream out into the queue.
//
// InitTDC takes three words:
//   [0] queue capacity in bytes (TpegQueue::kMinCapacity .. kMaxCapacity),
//   [1] largest data group accepted, in bytes (at least 64; data groups beyond
//       it, or beyond the format's own limit, are dropped as lost),
//   [2] transport mode: 1 = packet mode with MSC data groups, the only one.
// States (GetTDCState): 0 uninitialised, 1 initialised and never started,
// 2 stopped after a run, 3 running. Decoding may start from 1 or 2.
//
// The third word of FillMSCData is the sub-channel id and what the FIC says
// about the TPEG component (broadcast/msc_data_path.h): its packet address, DG
// flag and the sub-channel's FEC scheme are used as said. When the FIC said
// nothing, the address is followed and FEC guessed, and the log says so once
// per start. A change of the word starts the stream afresh. A word with the time
// block flag is no MSC data and no change of the word: its 8 bytes, the
// ensemble's UTC seconds, go to the queue for the TPEG library to judge expiry
// by (TpegQueue::SetBroadcastTime); one of another size is ignored.
//
// Every call takes one lock, held by FillMSCData for the length of one block;
// the TPEG library's thread never takes it, so the feed never waits for that
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "decoders/address_follower.h"
#include "decoders/decoder_counters.h"
#include "decoders/packet_walker.h"
#include "decoders/tpeg_queue.h"

namespace decoders {

enum class TdcState : std::int32_t {
    Uninitialised = 0,
    Initialised = 1,
    Stopped = 2,
    Running = 3,
};

struct TdcConfig {
    std::size_t queueCapacity = 0;
    std::size_t maxDataGroup = 0;

    static constexpr std::uint32_t kPacketModeDataGroups = 1;
    static constexpr std::size_t kMinDataGroup = 64;

    static std::optional<TdcConfig> FromWords(const std::uint32_t* words);
};

class TdcDecoder : private PacketSink, private DataGroupSink {
  public:
    // A block longer than this is not one frame of a sub-channel: refused.
    static constexpr std::size_t kMaxBlockSize = 64 * 1024;

    ~TdcDecoder() override;

    bool Init(const std::uint32_t* config);
    void Uninit();
    std::uintptr_t QueueHandle();
    TdcState State();
    bool Start();
    bool Stop();
    // The four arguments of the data callback; returns the bytes decoded, 0 when ignored.
    std::intptr_t Feed(std::uintptr_t address, std::uintptr_t size, std::uintptr_t subChannel,
                       std::uintptr_t frameCounter);
    TdcCounters Counters();

  private:
    void OnPacket(const broadcast::PacketView& packet) override;
    void OnDataGroup(std::span<const std::uint8_t> dataField) override;
    void ReleaseLocked();
    void ResetStreamLocked();
    void ConfigureLocked(std::uintptr_t word);
    std::intptr_t TakeTimeLocked(std::uintptr_t address, std::uintptr_t size);

    std::mutex m_lock;
    TdcState m_state = TdcState::Uninitialised;
    TpegQueue* m_queue = nullptr;
    std::unique_ptr<PacketWalker> m_walker;
    std::unique_ptr<AddressFollower> m_follower;
    std::optional<std::uintptr_t> m_subChannel;
    std::optional<std::uintptr_t> m_lastFrame;
    bool m_guessLogged = false;
    TdcCounters m_counters{};
};

}  // namespace decoders
