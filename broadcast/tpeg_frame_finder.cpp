#include "broadcast/tpeg_frame_finder.h"

#include <algorithm>

namespace broadcast {
namespace {

constexpr std::uint8_t kSyncHigh = kTpegSyncWord >> 8;
constexpr std::uint8_t kSyncLow = kTpegSyncWord & 0xFF;

enum class Content { Holds, Damaged, Fails };

// A service frame holds when its component frames can be walked with at least one holding
// header; damaged components inside it are then the decoder's to skip one by one. Encrypted
// service frames cannot be looked into.
Content JudgeContent(const TransportFrameView& frame) {
    if (frame.frameType == kStreamDirectoryFrameType) {
        return ParseStreamDirectory(frame.serviceFrame).error == TpegError::None ? Content::Holds
                                                                                 : Content::Fails;
    }
    if (frame.frameType != kServiceFrameType) {
        return Content::Holds;
    }
    const ServiceFrameResult service = ParseServiceFrame(frame.serviceFrame);
    if (service.error != TpegError::None) {
        return Content::Fails;
    }
    if (service.frame.encryptionId != kNoEncryption) {
        // Unchecked beyond its header, so treated like a damaged frame: one that holds
        // another good header is taken for a truncated one.
        return Content::Damaged;
    }
    ComponentFrameWalker walker(service.frame.components);
    std::size_t readable = 0;
    bool damaged = false;
    while (const auto component = walker.Next()) {
        if (component->error != TpegError::BadHeaderCrc && component->frame.size > 0) {
            ++readable;
        }
        damaged = damaged || component->error != TpegError::None;
    }
    if (readable == 0 && !service.frame.components.empty()) {
        return Content::Fails;
    }
    return damaged || walker.LostBytes() > 0 ? Content::Damaged : Content::Holds;
}

// Whether bytes has a sync word at `at` followed by a transport header whose CRC holds; false
// also when too few bytes are there to tell.
bool HeaderHoldsAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return bytes[at] == kSyncHigh && TransportHeaderHolds(bytes.subspan(at));
}

}  // namespace

TransportFrameFinder::TransportFrameFinder() {
    m_buffer.reserve(2 * kMaxTransportFrameSize);
}

void TransportFrameFinder::Reset() {
    m_buffer.clear();
    m_start = 0;
    m_lookedAhead = 0;
}

void TransportFrameFinder::Push(std::span<const std::uint8_t> bytes) {
    if (m_start > 0) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

std::size_t TransportFrameFinder::FindHeldHeader(std::span<const std::uint8_t> pending,
                                                 std::size_t from, std::size_t to) const {
    for (std::size_t at = from; at + 1 < to && at + 1 < pending.size(); ++at) {
        if (HeaderHoldsAt(pending, at)) {
            return at;
        }
    }
    return 0;
}

std::optional<TransportFrameView> TransportFrameFinder::Next() {
    for (;;) {
        const std::span<const std::uint8_t> pending = std::span(m_buffer).subspan(m_start);
        std::size_t sync = 0;
        while (sync + 1 < pending.size() &&
               !(pending[sync] == kSyncHigh && pending[sync + 1] == kSyncLow)) {
            ++sync;
        }
        if (sync + 1 >= pending.size()) {
            // A lone trailing first sync byte may begin the next frame.
            const std::size_t keep = (!pending.empty() && pending.back() == kSyncHigh) ? 1 : 0;
            Advance(pending.size() - keep, true);
            return std::nullopt;
        }
        Advance(sync, true);
        const std::span<const std::uint8_t> candidate = pending.subspan(sync);
        const TransportFrameResult result = ParseTransportFrame(candidate);
        if (result.error == TpegError::TooShort) {
            // A header that holds may still claim more than its frame brought (the rest was
            // lost on the way): once another holding header turns up inside the claimed bytes,
            // the claim is false and the search goes on from there.
            if (candidate.size() >= kTransportHeaderSize && TransportHeaderHolds(candidate)) {
                const std::size_t from = std::max<std::size_t>(m_lookedAhead, 1);
                const std::size_t next = FindHeldHeader(candidate, from, candidate.size());
                if (next > 0) {
                    ++m_badFrames;
                    Advance(next, true);
                    continue;
                }
                // Where the look resumes once more bytes arrive: a sync word near the end may
                // still lack the bytes its header CRC covers.
                m_lookedAhead = candidate.size() > kMaxHeaderLookBytes
                                    ? candidate.size() - kMaxHeaderLookBytes
                                    : 1;
            }
            return std::nullopt;
        }
        if (result.error != TpegError::None) {
            ++m_badHeaders;
            Advance(1, true);
            continue;
        }
        const Content content = JudgeContent(result.frame);
        // A damaged frame that holds another good header may be a truncated one that swallowed
        // the frames after it: those are worth more than its remains.
        if (content == Content::Fails ||
            (content == Content::Damaged && FindHeldHeader(candidate, 1, result.frame.size) > 0)) {
            ++m_badFrames;
            Advance(1, true);
            continue;
        }
        Advance(result.frame.size, false);
        return result.frame;
    }
}

void TransportFrameFinder::Advance(std::size_t bytes, bool skipped) {
    m_skipped += skipped ? bytes : 0;
    m_start += bytes;
    if (bytes > 0) {
        m_lookedAhead = 0;
    }
}

}  // namespace broadcast
