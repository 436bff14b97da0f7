#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "broadcast/tpeg_frame.h"

namespace broadcast {

// Finds transport frames in a TPEG byte stream that arrives in arbitrary chunks. A frame is
// yielded only when its header CRC holds and all its bytes are there; garbage, truncated frames
// and false sync words are skipped byte by byte until the next frame that checks out. After a
// good frame the search continues behind it, so sync words inside its payload are never seen.
class TransportFrameFinder {
  public:
    TransportFrameFinder();

    // Appends bytes; invalidates views returned by Next.
    void Push(std::span<const std::uint8_t> bytes);

    // The next complete frame (any frame type), or nothing until more bytes arrive. The view
    // stays valid until the next Push, Next or Reset.
    std::optional<TransportFrameView> Next();

    void Reset();

    std::size_t SkippedBytes() const { return m_skipped; }
    std::size_t BadHeaders() const { return m_badHeaders; }

  private:
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    std::size_t m_skipped = 0;
    std::size_t m_badHeaders = 0;
};

}  // namespace broadcast
