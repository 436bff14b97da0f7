#include "decoders/tpeg_queue.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/kernel.h"

namespace decoders {

TpegQueue* TpegQueue::Create(std::size_t capacity) {
    if (capacity < kMinCapacity || capacity > kMaxCapacity) {
        return nullptr;
    }
    platform::HANDLE event =
        platform::CreateEvent(nullptr, platform::TRUE, platform::FALSE, nullptr);
    if (event == nullptr) {
        return nullptr;
    }
    auto* queue = new (std::nothrow) TpegQueue(capacity, event);
    if (queue == nullptr) {
        platform::CloseHandle(event);
    }
    return queue;
}

TpegQueue* TpegQueue::FromHandle(std::uintptr_t handle) {
    if (handle == 0 || handle % alignof(TpegQueue) != 0) {
        return nullptr;
    }
    auto* queue = reinterpret_cast<TpegQueue*>(handle);
    return queue->m_magic == kMagic ? queue : nullptr;
}

TpegQueue::TpegQueue(std::size_t capacity, platform::HANDLE dataEvent)
    : m_ring(capacity), m_dataEvent(dataEvent) {}

TpegQueue::~TpegQueue() {
    m_magic = 0;
    platform::CloseHandle(m_dataEvent);
}

void TpegQueue::Retain() {
    m_references.fetch_add(1, std::memory_order_relaxed);
}

void TpegQueue::Release() {
    if (m_references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

bool TpegQueue::Write(std::span<const std::uint8_t> bytes) {
    const std::size_t written = m_written.load(std::memory_order_relaxed);
    const std::size_t read = m_read.load(std::memory_order_acquire);
    if (bytes.size() > m_ring.size() - (written - read)) {
        return false;
    }
    if (bytes.empty()) {
        return true;
    }
    const std::size_t at = written % m_ring.size();
    const std::size_t first = std::min(bytes.size(), m_ring.size() - at);
    std::memcpy(m_ring.data() + at, bytes.data(), first);
    std::memcpy(m_ring.data(), bytes.data() + first, bytes.size() - first);
    // Sequentially consistent with IdleIfEmpty: either the reader sees these bytes or
    // this writer sees the reader idle.
    m_written.store(written + bytes.size(), std::memory_order_seq_cst);
    m_unannouncedBytes += bytes.size();
    if (m_unannouncedBytes >= kWakeBytes || m_readerIdle.load(std::memory_order_seq_cst)) {
        Flush();
    }
    return true;
}

void TpegQueue::EndBlock() {
    if (m_unannouncedBytes > 0 && ++m_blocksUnannounced >= kWakeBlocks) {
        Flush();
    }
}

void TpegQueue::Flush() {
    if (m_unannouncedBytes > 0) {
        m_unannouncedBytes = 0;
        m_blocksUnannounced = 0;
        platform::SetEvent(m_dataEvent);
    }
}

std::size_t TpegQueue::Read(std::span<std::uint8_t> out) {
    const std::size_t read = m_read.load(std::memory_order_relaxed);
    const std::size_t written = m_written.load(std::memory_order_acquire);
    const std::size_t count = std::min(out.size(), written - read);
    if (count == 0) {
        return 0;
    }
    const std::size_t at = read % m_ring.size();
    const std::size_t first = std::min(count, m_ring.size() - at);
    std::memcpy(out.data(), m_ring.data() + at, first);
    std::memcpy(out.data() + first, m_ring.data(), count - first);
    m_read.store(read + count, std::memory_order_release);
    return count;
}

bool TpegQueue::IdleIfEmpty() {
    m_readerIdle.store(true, std::memory_order_seq_cst);
    return m_written.load(std::memory_order_seq_cst) == m_read.load(std::memory_order_relaxed);
}

void TpegQueue::EndIdle() {
    m_readerIdle.store(false, std::memory_order_relaxed);
}

std::size_t TpegQueue::Available() const {
    return m_written.load(std::memory_order_acquire) - m_read.load(std::memory_order_acquire);
}

void TpegQueue::SetBroadcastTime(std::int64_t utcSeconds) {
    const std::uint32_t tick = platform::GetTickCount();
    std::lock_guard lock(m_timeLock);
    m_timeSeconds = utcSeconds;
    m_timeTick = tick;
}

std::optional<std::int64_t> TpegQueue::BroadcastTime() const {
    std::int64_t seconds = 0;
    std::uint32_t tick = 0;
    {
        std::lock_guard lock(m_timeLock);
        if (!m_timeSeconds) {
            return std::nullopt;
        }
        seconds = *m_timeSeconds;
        tick = m_timeTick;
    }
    // Unsigned difference: right across the tick count's wrap.
    const std::uint32_t elapsedMs = platform::GetTickCount() - tick;
    return seconds + elapsedMs / 1000;
}

}  // namespace decoders
