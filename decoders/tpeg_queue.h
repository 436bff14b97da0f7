// The bounded byte queue between the two libraries: the TDC library writes the
// TPEG stream into it, the TPEG library's decoding thread reads it.
//
// Both libraries link this code, so the handle GetTpegQueue gives out is the
// queue's address, understood by either side. The queue is reference counted:
// the TDC library holds it from InitTDC to UninitTDC, the TPEG library from
// SetTDCQueue until it is replaced or the library is reset, so neither side's
// teardown can free it under the other.
//
// One writer and one reader at a time: writes never wait for the reader and
// never allocate; a write that does not fit is refused whole, so the stream
// never holds half a data group.
//
// The reader is woken in batches: a sub-channel brings a data group about every
// frame, and waking the reader for each costs more than decoding it. Written
// bytes are announced (the data event set) at once while the reader waits idle,
// otherwise once kWakeBytes wait unannounced, or when the writer ends its
// kWakeBlocks-th block since the first of them, or at Flush. A reader that has
// just read is not idle: it looks again after kLingerMs by itself, so bytes left
// unannounced when the blocks stop coming are still decoded.
//
// The queue also carries the ensemble's date and time from the writer to the
// reader: the writer sets it before the bytes of the frame that brought it, so
// a reader that reads those bytes finds the time already there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/types.h"

namespace decoders {

class TpegQueue {
  public:
    // A queue holding at most capacity bytes, with one reference; nullptr when
    // the capacity is out of range or the event cannot be made.
    static TpegQueue* Create(std::size_t capacity);
    // The queue behind a handle, or nullptr when the handle is not one.
    static TpegQueue* FromHandle(std::uintptr_t handle);

    static constexpr std::size_t kMinCapacity = 1024;
    static constexpr std::size_t kMaxCapacity = 64u << 20;

    std::uintptr_t Handle() const { return reinterpret_cast<std::uintptr_t>(this); }
    void Retain();
    void Release();

    // Bytes waiting unannounced that wake the reader at once: a burst is
    // decoded while it is still being written.
    static constexpr std::size_t kWakeBytes = 4096;
    // Blocks (24 ms each on air) after which written bytes are announced.
    static constexpr std::size_t kWakeBlocks = 8;
    // How long (platform milliseconds) a reader that has just read waits before
    // it looks for unannounced bytes again.
    static constexpr std::uint32_t kLingerMs = 500;

    // Appends all of bytes, or nothing when they do not fit. The writer's.
    bool Write(std::span<const std::uint8_t> bytes);
    // The writer ends a block: announces what it wrote once kWakeBlocks blocks
    // have ended since the first unannounced byte.
    void EndBlock();
    // The writer announces everything written.
    void Flush();
    // Moves up to out.size() bytes out; returns how many.
    std::size_t Read(std::span<std::uint8_t> out);
    std::size_t Available() const;
    // The reader is about to wait for the data event with nothing to do until
    // bytes arrive: from here on every write is announced at once. True when the
    // queue is empty; a write racing the call is then announced.
    bool IdleIfEmpty();
    // The reader is awake again (or waits with a time limit).
    void EndIdle();
    std::size_t Capacity() const { return m_ring.size(); }

    // The writer received the ensemble's time (UTC seconds since 1970) now.
    void SetBroadcastTime(std::int64_t utcSeconds);
    // That time carried on by the platform clock since it arrived; nothing until
    // the writer has set one.
    std::optional<std::int64_t> BroadcastTime() const;

    // Manual-reset event set by every write; the reader resets it before it
    // looks for bytes a last time and then waits.
    platform::HANDLE DataEvent() const { return m_dataEvent; }

  private:
    TpegQueue(std::size_t capacity, platform::HANDLE dataEvent);
    ~TpegQueue();

    static constexpr std::uint64_t kMagic = 0x5450454751554555ull;

    std::uint64_t m_magic = kMagic;
    std::atomic<int> m_references{1};
    std::vector<std::uint8_t> m_ring;
    // Running totals of bytes written and read; their difference is the fill.
    std::atomic<std::size_t> m_written{0};
    std::atomic<std::size_t> m_read{0};
    platform::HANDLE m_dataEvent;
    std::atomic<bool> m_readerIdle{false};
    // The writer's alone (the TDC library's lock serialises writers).
    std::size_t m_unannouncedBytes = 0;
    std::size_t m_blocksUnannounced = 0;
    // Set about once a second and read once per chunk: a lock costs nothing
    // here and keeps the seconds and their tick count together.
    mutable std::mutex m_timeLock;
    std::optional<std::int64_t> m_timeSeconds;
    std::uint32_t m_timeTick = 0;
};

}  // namespace decoders
