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
// service frame's component frames must be walkable with at least one holding header (damaged
// components are left to the decoder to skip), a stream directory must hold its CRC; encrypted
// service frames and other frame types are judged by the header alone. Anything else (garbage,
// a false sync word) is skipped byte by byte until the next frame that checks out.
//
// A header that holds but claims more bytes than its frame brought (the rest lost on the way)
// is given up as soon as another holding header turns up inside the claimed bytes, so it holds
// decoding back no longer than it takes the next frame to arrive. For the same reason a damaged
// frame that holds another holding header is taken for a truncated one that swallowed the
// frames after it, and skipped. After a good frame the search continues behind it, so sync
// words inside its payload are never seen.
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
    // Bytes a sync word needs after it before its header CRC can be checked.
    static constexpr std::size_t kMaxHeaderLookBytes = kTransportHeaderSize + 11;

    void Advance(std::size_t bytes, bool skipped);
    // Offset of the first holding header in pending within [from, to), 0 when there is none.
    std::size_t FindHeldHeader(std::span<const std::uint8_t> pending, std::size_t from,
                               std::size_t to) const;

    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    // Offset behind the frame start up to which holding headers have been looked for.
    std::size_t m_lookedAhead = 0;
    std::size_t m_skipped = 0;
    std::size_t m_badHeaders = 0;
    std::size_t m_badFrames = 0;
};

}  // namespace broadcast
