#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "broadcast/data_group.h"

namespace broadcast {

enum class StreamVerdict {
    Passed,          // data holds the next piece of the stream
    Repetition,      // a repeated copy of a data group already taken
    SegmentHeld,     // a segment kept until its series is complete
    SegmentDropped,  // a segment out of order (the series it belonged to was lost)
    TooLarge,        // a segment series longer than kMaxSegmentedSize: dropped whole
};

struct StreamStep {
    StreamVerdict verdict = StreamVerdict::Passed;
    std::span<const std::uint8_t> data;  // valid until the next Push or Reset
};

// Turns good data groups of one packet address into stream pieces.
//
// A broadcaster repeats a data group by sending it again with the same continuity index and a
// repetition index counting down to 0; the copies after the first one taken are dropped, so
// a piece of the stream never arrives twice. Segmented data groups (segment field present)
// are joined in segment order from segment 0 to the one with the last flag and passed on as
// one piece: a series with a segment missing is dropped whole, since splicing two series
// would hand the stream bytes that never followed each other. Memory is reserved once.
class DataGroupStream {
  public:
    static constexpr std::size_t kMaxSegmentedSize = 64 * 1024;

    DataGroupStream();

    StreamStep Push(const DataGroupResult& group);
    // Forgets the continuity of every type and the series in progress.
    void Reset();

  private:
    struct LastGroup {
        bool valid = false;
        std::uint8_t continuityIndex = 0;
        std::uint8_t repetitionIndex = 0;
    };

    StreamStep Segment(const DataGroupResult& group);

    std::array<LastGroup, 16> m_last;  // by data group type
    std::vector<std::uint8_t> m_series;
    bool m_inSeries = false;
    std::uint8_t m_seriesType = 0;
    bool m_seriesHasTransportId = false;
    std::uint16_t m_seriesTransportId = 0;
    std::uint16_t m_nextSegment = 0;
};

}  // namespace broadcast
