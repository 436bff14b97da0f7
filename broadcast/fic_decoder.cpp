#include "broadcast/fic.h"

#include <algorithm>

namespace broadcast {

FibError FicDecoder::PushFib(std::span<const std::uint8_t> fib) {
    return ParseFib(fib, *this);
}

std::size_t FicDecoder::PushFic(std::span<const std::uint8_t> fic) {
    std::size_t bad = 0;
    for (std::size_t at = 0; at + kFibSize <= fic.size(); at += kFibSize) {
        if (PushFib(fic.subspan(at, kFibSize)) != FibError::None) {
            ++bad;
        }
    }
    return bad;
}

void FicDecoder::OnEnsembleInfo(std::uint16_t eid, std::uint16_t) {
    if (!m_haveEid || m_eid != eid) {
        m_eid = eid;
        m_haveEid = true;
        ++m_revision;
    }
}

void FicDecoder::OnSubChannel(const SubChannel& subChannel) {
    SubChannel& slot = m_subChannels[subChannel.id];
    const std::uint8_t fec = slot.fecScheme;
    if (slot.startAddress != subChannel.startAddress || slot.sizeCu != subChannel.sizeCu ||
        slot.bitrate != subChannel.bitrate || slot.id != subChannel.id || slot.sizeCu == 0) {
        ++m_revision;
    }
    slot = subChannel;
    slot.fecScheme = fec;
    if (const auto it = m_fec.find(subChannel.id); it != m_fec.end()) {
        slot.fecScheme = it->second;
    }
}

void FicDecoder::OnService(const FigService& service) {
    const auto [it, inserted] = m_services.try_emplace(service.sid);
    if (inserted) {
        it->second.order = m_services.size();
        ++m_revision;
    }
    it->second.fig = service;
}

void FicDecoder::OnPacketComponent(const FigPacketComponent& component) {
    if (m_packetComponents.try_emplace(component.scid, component).second) {
        ++m_revision;
    }
}

void FicDecoder::OnUserApplication(std::uint32_t sid, std::uint8_t scids, std::uint16_t type) {
    if (scids == 0 && m_userApplications.try_emplace(sid, type).second) {
        ++m_revision;
    }
}

void FicDecoder::OnFecScheme(std::uint8_t subChannelId, std::uint8_t scheme) {
    if (m_fec.insert_or_assign(subChannelId, scheme).second) {
        ++m_revision;
    }
    if (const auto it = m_subChannels.find(subChannelId); it != m_subChannels.end()) {
        it->second.fecScheme = scheme;
    }
}

void FicDecoder::OnEnsembleLabel(std::uint16_t, std::string_view label) {
    if (!m_haveLabel || m_label != label) {
        m_label = label;
        m_haveLabel = true;
        ++m_revision;
    }
}

void FicDecoder::OnServiceLabel(std::uint32_t sid, std::string_view label) {
    auto [it, inserted] = m_labels.try_emplace(sid, label);
    if (inserted) {
        ++m_revision;
    } else if (it->second != label) {
        it->second = label;
        ++m_revision;
    }
}

EnsembleDescription FicDecoder::Ensemble() const {
    EnsembleDescription ensemble;
    ensemble.eid = m_eid;
    ensemble.label = m_label;
    for (const auto& [id, sc] : m_subChannels) {
        ensemble.subChannels.push_back(sc);
    }
    std::vector<const std::pair<const std::uint32_t, ServiceEntry>*> ordered;
    for (const auto& entry : m_services) {
        ordered.push_back(&entry);
    }
    std::sort(ordered.begin(), ordered.end(),
              [](auto* a, auto* b) { return a->second.order < b->second.order; });
    for (const auto* entry : ordered) {
        const FigService& fig = entry->second.fig;
        if (fig.componentCount == 0) {
            continue;
        }
        const FigServiceComponent* primary = &fig.components[0];
        for (std::size_t i = 0; i < fig.componentCount; ++i) {
            if (fig.components[i].primary) {
                primary = &fig.components[i];
                break;
            }
        }
        Service s;
        s.sid = fig.sid;
        s.longSid = fig.longSid;
        if (const auto label = m_labels.find(fig.sid); label != m_labels.end()) {
            s.label = label->second;
        }
        if (primary->tmid == 3) {
            s.kind = ServiceKind::Data;
            s.packetMode = true;
            s.serviceComponentId = primary->scid;
            const auto component = m_packetComponents.find(primary->scid);
            if (component == m_packetComponents.end()) {
                continue;
            }
            s.subChannelId = component->second.subChannelId;
            s.packetAddress = component->second.packetAddress;
            s.componentType = component->second.dscty;
            s.dataGroups = component->second.dataGroups;
        } else {
            s.subChannelId = primary->subChannelId;
            s.componentType = primary->type;
            if (primary->tmid == 0) {
                s.kind = ServiceKind::Audio;
            } else {
                s.kind = primary->type == kDsctyMpeg2Ts ? ServiceKind::Video : ServiceKind::Data;
            }
        }
        if (const auto app = m_userApplications.find(fig.sid); app != m_userApplications.end()) {
            s.userApplication = app->second;
        }
        ensemble.services.push_back(std::move(s));
    }
    return ensemble;
}

bool FicDecoder::IsComplete() const {
    if (!m_haveEid || !m_haveLabel || m_services.empty()) {
        return false;
    }
    const EnsembleDescription ensemble = Ensemble();
    if (ensemble.services.size() != m_services.size()) {
        return false;
    }
    for (const Service& s : ensemble.services) {
        if (s.label.empty() || ensemble.FindSubChannel(s.subChannelId) == nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace broadcast
