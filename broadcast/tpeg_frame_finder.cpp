#include "broadcast/tpeg_frame_finder.h"

#include <algorithm>

namespace broadcast {
namespace {

bool ContentHolds(const TransportFrameView& frame) {
    if (frame.frameType == kStreamDirectoryFrameType) {
        return ParseStreamDirectory(frame.serviceFrame).error == TpegError::None;
    }
    if (frame.frameType != kServiceFrameType) {
        return true;
    }
    const ServiceFrameResult service = ParseServiceFrame(frame.serviceFrame);
    if (service.error != TpegError::None) {
        return false;
    }
    std::span<const std::uint8_t> rest = service.frame.components;
    while (!rest.empty()) {
        const ComponentFrameResult component = ParseComponentFrame(rest);
        if (component.error != TpegError::None) {
            return false;
        }
        rest = rest.subspan(component.frame.size);
    }
    return true;
}

}  // namespace

TransportFrameFinder::TransportFrameFinder() {
    m_buffer.reserve(2 * kMaxTransportFrameSize);
}

void TransportFrameFinder::Reset() {
    m_buffer.clear();
    m_start = 0;
}

void TransportFrameFinder::Push(std::span<const std::uint8_t> bytes) {
    if (m_start > 0) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

std::optional<TransportFrameView> TransportFrameFinder::Next() {
    for (;;) {
        const std::span<const std::uint8_t> pending = std::span(m_buffer).subspan(m_start);
        std::size_t sync = 0;
        while (sync + 1 < pending.size() && !(pending[sync] == (kTpegSyncWord >> 8) &&
                                              pending[sync + 1] == (kTpegSyncWord & 0xFF))) {
            ++sync;
        }
        if (sync + 1 >= pending.size()) {
            // A lone trailing first sync byte may begin the next frame.
            const std::size_t keep =
                (!pending.empty() && pending.back() == (kTpegSyncWord >> 8)) ? 1 : 0;
            m_skipped += pending.size() - keep;
            m_start += pending.size() - keep;
            return std::nullopt;
        }
        m_skipped += sync;
        m_start += sync;
        const TransportFrameResult result = ParseTransportFrame(pending.subspan(sync));
        if (result.error == TpegError::TooShort) {
            return std::nullopt;
        }
        if (result.error != TpegError::None || !ContentHolds(result.frame)) {
            ++(result.error != TpegError::None ? m_badHeaders : m_badFrames);
            ++m_skipped;
            ++m_start;
            continue;
        }
        m_start += result.frame.size;
        return result.frame;
    }
}

}  // namespace broadcast
