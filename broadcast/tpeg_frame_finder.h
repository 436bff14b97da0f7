#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "broadcast/tpeg_frame.h"

namespace broadcast {

// Finds transport frames in a TPEG byte stream that arrives in arbitrary chunks. A frame is
// yielded only when all its bytes are there, its header CRC holds and its content checks out: a
// service frame's component frames must tile it exactly with every header and data CRC holding,
// a stream directory must hold its CRC (other frame types are judged by the header alone).
// Anything else (garbage, a truncated frame whose length swallowed the next ones, a false sync
// word) is skipped byte by byte until the next frame that checks out. After a good frame the
// search continues behind it, so sync words inside its payload are never seen.
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
    // Candidates whose header held but whose content did not.
    std::size_t BadFrames() const { return m_badFrames; }

  private:
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    std::size_t m_skipped = 0;
    std::size_t m_badHeaders = 0;
    std::size_t m_badFrames = 0;
};

}  // namespace broadcast
