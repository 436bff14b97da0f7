#include "broadcast/data_group_stream.h"

#include <cstring>

namespace broadcast {

DataGroupStream::DataGroupStream() {
    m_series.reserve(kMaxSegmentedSize);
}

void DataGroupStream::Reset() {
    m_last = {};
    m_series.clear();
    m_inSeries = false;
    m_nextSegment = 0;
}

StreamStep DataGroupStream::Push(const DataGroupResult& group) {
    const DataGroupHeader& h = group.header;
    LastGroup& last = m_last[h.type & 0x0F];
    // Only a copy announced by a non-zero repetition index is a repetition: after the last
    // copy (index 0) the same continuity index can only mean sixteen new groups went by.
    const bool repeated =
        last.valid && last.repetitionIndex != 0 && last.continuityIndex == h.continuityIndex;
    last = {true, h.continuityIndex, h.repetitionIndex};
    if (repeated) {
        return {StreamVerdict::Repetition, {}};
    }
    if (!h.hasSegment) {
        return {StreamVerdict::Passed, group.data};
    }
    return Segment(group);
}

StreamStep DataGroupStream::Segment(const DataGroupResult& group) {
    const DataGroupHeader& h = group.header;
    const bool sameSeries = m_inSeries && h.type == m_seriesType &&
                            h.hasTransportId == m_seriesHasTransportId &&
                            h.transportId == m_seriesTransportId;
    if (h.segmentNumber == 0) {
        m_series.clear();
        m_inSeries = true;
        m_seriesType = h.type;
        m_seriesHasTransportId = h.hasTransportId;
        m_seriesTransportId = h.transportId;
    } else if (!sameSeries || h.segmentNumber != m_nextSegment) {
        m_inSeries = false;
        m_series.clear();
        return {StreamVerdict::SegmentDropped, {}};
    }
    if (m_series.size() + group.data.size() > kMaxSegmentedSize) {
        m_inSeries = false;
        m_series.clear();
        return {StreamVerdict::TooLarge, {}};
    }
    m_series.insert(m_series.end(), group.data.begin(), group.data.end());
    m_nextSegment = static_cast<std::uint16_t>(h.segmentNumber + 1);
    if (!h.lastSegment) {
        return {StreamVerdict::SegmentHeld, {}};
    }
    m_inSeries = false;
    return {StreamVerdict::Passed, m_series};
}

}  // namespace broadcast
