#include "broadcast/tpeg_service_decoder.h"

#include <algorithm>
#include <utility>

namespace broadcast {

TpegServiceDecoder::TpegServiceDecoder(std::size_t perApplication, std::size_t total)
    : TpegServiceDecoder(ApplicationAids(), perApplication, total) {}

TpegServiceDecoder::TpegServiceDecoder(ApplicationAids aids, std::size_t perApplication,
                                       std::size_t total)
    : m_aids(std::move(aids)), m_budget(perApplication, total) {
    for (std::size_t i = 0; i < kTpegApplicationCount; ++i) {
        m_stores.emplace_back(m_budget);
    }
}

TpegDecodeStats TpegServiceDecoder::Stats() const {
    TpegDecodeStats stats = m_stats;
    stats.skippedBytes = m_finder.SkippedBytes();
    stats.badHeaders = m_finder.BadHeaders();
    stats.badFrames = m_finder.BadFrames();
    stats.heldContentBytes = m_budget.Held();
    return stats;
}

void TpegServiceDecoder::Push(std::span<const std::uint8_t> bytes, TpegServiceObserver& observer,
                              std::int64_t now) {
    m_now = now;
    ExpireMessages(observer);
    m_finder.Push(bytes);
    while (const auto frame = m_finder.Next()) {
        ++m_stats.transportFrames;
        if (frame->frameType == kServiceFrameType) {
            HandleServiceFrame(frame->serviceFrame, observer);
        } else if (frame->frameType == kStreamDirectoryFrameType) {
            ++m_stats.streamDirectories;
            const StreamDirectoryResult directory = ParseStreamDirectory(frame->serviceFrame);
            std::vector<ServiceId> sids;
            for (std::size_t i = 0; i < directory.count; ++i) {
                sids.push_back(directory.At(i));
            }
            m_directory = std::move(sids);
            ChooseService();
        } else {
            ++m_stats.unknownFrameTypes;
        }
    }
}

const TpegServiceDecoder::Service* TpegServiceDecoder::FindService(ServiceId sid) const {
    const auto it = std::find_if(m_services.begin(), m_services.end(),
                                 [sid](const Service& service) { return service.sid == sid; });
    return it == m_services.end() ? nullptr : &*it;
}

void TpegServiceDecoder::ChooseService() {
    // A service none of whose components is one of our applications has nothing to decode.
    const auto eligible = [this](ServiceId sid) {
        const Service* service = FindService(sid);
        return service != nullptr && service->carriesApplications;
    };
    std::optional<ServiceId> chosen;
    if (m_directory) {
        const auto it = std::find_if(m_directory->begin(), m_directory->end(), eligible);
        if (it != m_directory->end()) {
            chosen = *it;
        }
    }
    // A directory naming only services that send no SNI must not silence the one that does.
    if (!chosen) {
        const auto it = std::find_if(m_services.begin(), m_services.end(),
                                     [&](const Service& service) { return eligible(service.sid); });
        if (it != m_services.end()) {
            chosen = it->sid;
        }
    }
    if (chosen == m_decoded) {
        return;
    }
    m_decoded = chosen;
    // The files keep the other service's messages until this one's change them.
    for (TpegMessageStore& store : m_stores) {
        store.Clear();
    }
}

void TpegServiceDecoder::HandleServiceFrame(std::span<const std::uint8_t> serviceFrame,
                                            TpegServiceObserver& observer) {
    const ServiceFrameResult service = ParseServiceFrame(serviceFrame);
    if (service.error != TpegError::None) {
        ++m_stats.badComponentFrames;
        return;
    }
    if (service.frame.encryptionId != kNoEncryption) {
        // Without the key its components are noise; read as plain they would be misread.
        ++m_stats.encryptedFrames;
        return;
    }
    const ServiceId sid = service.frame.sid;
    ComponentFrameWalker walker(service.frame.components);
    while (const auto component = walker.Next()) {
        ++m_stats.componentFrames;
        if (component->error != TpegError::None) {
            ++m_stats.badComponentFrames;
            continue;
        }
        if (component->frame.scid == kSniScid) {
            HandleSni(sid, component->frame, observer);
            continue;
        }
        const Service* known = FindService(sid);
        if (known == nullptr) {
            ++m_stats.unknownScids;
        } else if (sid != m_decoded) {
            ++m_stats.otherServiceComponents;
        } else {
            HandleComponent(*known, component->frame, observer);
        }
    }
}

void TpegServiceDecoder::HandleSni(ServiceId sid, const ComponentFrameView& frame,
                                   TpegServiceObserver& observer) {
    SniTable table;
    if (ParseSni(frame.data, table) != SniError::None) {
        ++m_stats.badMessages;
        return;
    }
    auto it = std::find_if(m_services.begin(), m_services.end(),
                           [sid](const Service& service) { return service.sid == sid; });
    if (it == m_services.end()) {
        if (m_services.size() == kMaxServices) {
            ++m_stats.refusedServices;
            return;
        }
        m_services.push_back({sid, {}});
        it = m_services.end() - 1;
    }
    it->sni = std::move(table);
    it->carriesApplications = std::any_of(
        it->sni.entries.begin(), it->sni.entries.end(),
        [this](const SniFastTuningEntry& entry) { return m_aids.Find(entry.aid) != nullptr; });
    observer.OnServiceInformation(sid, it->sni);
    ChooseService();
}

void TpegServiceDecoder::HandleComponent(const Service& service, const ComponentFrameView& frame,
                                         TpegServiceObserver& observer) {
    std::uint16_t aid = 0;
    if (!service.sni.FindAid(frame.scid, aid)) {
        ++m_stats.unknownScids;
        return;
    }
    const TpegApplication* app = m_aids.Find(aid);
    if (app == nullptr) {
        ++m_stats.foreignAids;
        return;
    }
    ApplyMessages(*app, aid, frame.data, observer);
}

void TpegServiceDecoder::ApplyMessages(const TpegApplication& app, std::uint16_t aid,
                                       std::span<const std::uint8_t> data,
                                       TpegServiceObserver& observer) {
    const TpegMessageFrame frame = ParseTpegMessages(data);
    m_stats.badMessages += frame.malformed + (frame.complete ? 0 : 1);
    const std::size_t index = static_cast<std::size_t>(&app - TpegApplications().data());
    TpegMessageStore& store = m_stores[index];
    std::size_t changes = 0;
    for (const TpegMessage& message : frame.messages) {
        const TpegMessageStore::Outcome outcome = store.Apply(message, m_now, aid);
        if (TpegMessageStore::Changes(outcome)) {
            ++changes;
        } else if (outcome == TpegMessageStore::Outcome::Refused ||
                   outcome == TpegMessageStore::Outcome::OverBudget) {
            ++m_stats.refusedMessages;
        }
    }
    if (changes > 0) {
        // Once per frame, however many of its messages changed: the file is written per change
        // of the content, and a frame arrives whole.
        m_stats.messageChanges += changes;
        const std::vector<std::uint8_t> file = store.File();
        observer.OnMessages(app, file);
    }
}

void TpegServiceDecoder::ExpireMessages(TpegServiceObserver& observer) {
    const auto apps = TpegApplications();
    for (std::size_t i = 0; i < m_stores.size(); ++i) {
        if (const std::size_t removed = m_stores[i].Expire(m_now); removed > 0) {
            m_stats.messageChanges += removed;
            const std::vector<std::uint8_t> file = m_stores[i].File();
            observer.OnMessages(apps[i], file);
        }
    }
}

}  // namespace broadcast
