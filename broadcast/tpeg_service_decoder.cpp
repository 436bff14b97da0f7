#include "broadcast/tpeg_service_decoder.h"

namespace broadcast {

TpegDecodeStats TpegServiceDecoder::Stats() const {
    TpegDecodeStats stats = m_stats;
    stats.skippedBytes = m_finder.SkippedBytes();
    stats.badHeaders = m_finder.BadHeaders();
    stats.badFrames = m_finder.BadFrames();
    return stats;
}

void TpegServiceDecoder::Push(std::span<const std::uint8_t> bytes, TpegServiceObserver& observer) {
    m_finder.Push(bytes);
    while (const auto frame = m_finder.Next()) {
        ++m_stats.transportFrames;
        if (frame->frameType == kServiceFrameType) {
            HandleServiceFrame(frame->serviceFrame, observer);
        } else if (frame->frameType == kStreamDirectoryFrameType) {
            ++m_stats.streamDirectories;
        } else {
            ++m_stats.unknownFrameTypes;
        }
    }
}

void TpegServiceDecoder::HandleServiceFrame(std::span<const std::uint8_t> serviceFrame,
                                            TpegServiceObserver& observer) {
    const ServiceFrameResult service = ParseServiceFrame(serviceFrame);
    if (service.error != TpegError::None) {
        ++m_stats.badComponentFrames;
        return;
    }
    m_sid = service.frame.sid;
    std::span<const std::uint8_t> components = service.frame.components;
    while (!components.empty()) {
        const ComponentFrameResult component = ParseComponentFrame(components);
        ++m_stats.componentFrames;
        if (component.error != TpegError::None) {
            ++m_stats.badComponentFrames;
            // Without a trustworthy length the rest of this service frame cannot be walked.
            if (component.error != TpegError::BadDataCrc) {
                return;
            }
        } else {
            HandleComponent(component.frame, observer);
        }
        components = components.subspan(component.frame.size);
    }
}

void TpegServiceDecoder::HandleComponent(const ComponentFrameView& frame,
                                         TpegServiceObserver& observer) {
    if (frame.scid == kSniScid) {
        SniTable table;
        if (ParseSni(frame.data, table) != SniError::None) {
            ++m_stats.badMessages;
            return;
        }
        m_sni = std::move(table);
        m_haveSni = true;
        observer.OnServiceInformation(m_sid, m_sni);
        return;
    }
    std::uint16_t aid = 0;
    if (!m_haveSni || !m_sni.FindAid(frame.scid, aid)) {
        ++m_stats.unknownScids;
        return;
    }
    const TpegApplication* app = FindApplicationByAid(aid);
    if (app == nullptr) {
        ++m_stats.foreignAids;
        return;
    }
    DataSetMessage message;
    if (ParseDataSetMessage(frame.data, message) != DataSetError::None) {
        ++m_stats.badMessages;
        return;
    }
    DataSetAssembler& set = m_sets[static_cast<std::size_t>(app - TpegApplications().data())];
    switch (set.Push(message)) {
        case DataSetStatus::Changed:
            observer.OnDataSet(*app, message.version, set.Content(), true);
            break;
        case DataSetStatus::Repeated:
            observer.OnDataSet(*app, message.version, set.Content(), false);
            break;
        case DataSetStatus::Rejected:
            ++m_stats.badMessages;
            break;
        case DataSetStatus::Pending:
            break;
    }
}

}  // namespace broadcast
