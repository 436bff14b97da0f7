#include "broadcast/fic.h"

#include <algorithm>

namespace broadcast {

FibError FicDecoder::PushFib(std::span<const std::uint8_t> fib) {
    return ParseFib(fib, *this);
}

std::size_t FicDecoder::PushFic(std::span<const std::uint8_t> fic) {
    ++m_fics;
    std::size_t bad = 0;
    for (std::size_t at = 0; at + kFibSize <= fic.size(); at += kFibSize) {
        if (PushFib(fic.subspan(at, kFibSize)) != FibError::None) {
            ++bad;
        }
    }
    return bad;
}

template <typename Map, typename Value>
void FicDecoder::Store(Map& map, const typename Map::key_type& key, const Value& value) {
    const auto it = map.find(key);
    if (it == map.end()) {
        if (map.size() >= kMaxFicEntries) {
            ++m_dropped;
            return;
        }
        map.emplace(key, value);
        ++m_revision;
    } else if (!(it->second == value)) {
        it->second = value;
        ++m_revision;
    }
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
    const auto it = m_services.find(service.sid);
    if (it == m_services.end()) {
        if (m_services.size() >= kMaxFicEntries) {
            ++m_dropped;
            return;
        }
        m_services.emplace(service.sid, ServiceEntry{service, m_services.size() + 1});
        ++m_revision;
    } else if (!(it->second.fig == service)) {
        it->second.fig = service;
        ++m_revision;
    }
}

void FicDecoder::OnPacketComponent(const FigPacketComponent& component) {
    Store(m_packetComponents, component.scid, component);
}

void FicDecoder::OnUserApplications(std::uint32_t sid, std::uint8_t scids,
                                    std::span<const std::uint16_t> types) {
    Store(m_userApplications, ComponentKey{sid, scids},
          std::vector<std::uint16_t>(types.begin(), types.end()));
}

void FicDecoder::OnComponentLink(const FigComponentLink& link) {
    Store(m_links, ComponentKey{link.sid, link.scids}, link);
}

void FicDecoder::OnFecScheme(std::uint8_t subChannelId, std::uint8_t scheme) {
    Store(m_fec, subChannelId, scheme);
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
    Store(m_labels, sid, std::string(label));
}

void FicDecoder::OnDateTime(const FigDateTime& time) {
    m_time = Time{time, UtcSeconds(time), m_fics};
}

std::optional<std::uint8_t> FicDecoder::ScidsOf(const FigService& service,
                                                const FigServiceComponent& component) const {
    if (component.primary) {
        return 0;
    }
    if (component.tmid != 3) {
        return std::nullopt;
    }
    const auto linked = [&](std::uint16_t scid) {
        for (auto it = m_links.lower_bound({service.sid, 0});
             it != m_links.end() && it->first.first == service.sid; ++it) {
            if (it->second.longForm && it->second.scid == scid) {
                return std::optional<std::uint8_t>(it->first.second);
            }
        }
        return std::optional<std::uint8_t>();
    };
    if (const auto scids = linked(component.scid)) {
        return scids;
    }
    std::size_t unlinkedComponents = 0;
    for (std::size_t i = 0; i < service.componentCount; ++i) {
        const FigServiceComponent& c = service.components[i];
        unlinkedComponents += !c.primary && c.tmid == 3 && !linked(c.scid);
    }
    std::optional<std::uint8_t> only;
    std::size_t unlinkedScids = 0;
    for (auto it = m_userApplications.lower_bound({service.sid, 1});
         it != m_userApplications.end() && it->first.first == service.sid; ++it) {
        if (!m_links.contains(it->first)) {
            only = it->first.second;
            ++unlinkedScids;
        }
    }
    if (unlinkedComponents == 1 && unlinkedScids == 1) {
        return only;
    }
    return std::nullopt;
}

bool FicDecoder::IsTpeg(std::uint32_t sid, std::optional<std::uint8_t> scids) const {
    if (!scids) {
        return false;
    }
    const auto it = m_userApplications.find({sid, *scids});
    return it != m_userApplications.end() && std::find(it->second.begin(), it->second.end(),
                                                       kUserApplicationTpeg) != it->second.end();
}

PacketComponentInfo FicDecoder::TpegComponent(std::uint32_t sid, std::uint8_t subChannelId) const {
    const auto service = m_services.find(sid);
    if (service == m_services.end()) {
        return {};
    }
    const FigService& fig = service->second.fig;
    const FigPacketComponent* only = nullptr;
    const FigPacketComponent* tpeg = nullptr;
    std::size_t candidates = 0;
    for (std::size_t i = 0; i < fig.componentCount; ++i) {
        const FigServiceComponent& c = fig.components[i];
        if (c.tmid != 3) {
            continue;
        }
        const auto packet = m_packetComponents.find(c.scid);
        if (packet == m_packetComponents.end() || packet->second.subChannelId != subChannelId) {
            continue;
        }
        ++candidates;
        only = &packet->second;
        if (tpeg == nullptr && IsTpeg(sid, ScidsOf(fig, c))) {
            tpeg = &packet->second;
        }
    }
    const FigPacketComponent* chosen = candidates == 1 ? only : tpeg;
    if (chosen == nullptr) {
        return {};
    }
    PacketComponentInfo info;
    info.known = true;
    info.address = chosen->packetAddress;
    info.dgFlag = !chosen->dataGroups;
    info.dscty = chosen->dscty;
    if (const auto fec = m_fec.find(subChannelId); fec != m_fec.end()) {
        info.fecScheme = fec->second;
    }
    return info;
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
    const auto packetService = [&](Service& s, std::uint16_t scid) {
        const auto component = m_packetComponents.find(scid);
        if (component == m_packetComponents.end()) {
            return false;
        }
        s.kind = ServiceKind::Data;
        s.packetMode = true;
        s.serviceComponentId = scid;
        s.subChannelId = component->second.subChannelId;
        s.packetAddress = component->second.packetAddress;
        s.componentType = component->second.dscty;
        s.dataGroups = component->second.dataGroups;
        return true;
    };
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
        const Service common = s;
        if (primary->tmid == 3) {
            if (!packetService(s, primary->scid)) {
                continue;
            }
        } else {
            s.subChannelId = primary->subChannelId;
            s.componentType = primary->type;
            if (primary->tmid == 0) {
                s.kind = ServiceKind::Audio;
            } else {
                s.kind = primary->type == kDsctyMpeg2Ts ? ServiceKind::Video : ServiceKind::Data;
            }
        }
        if (const auto app = m_userApplications.find({fig.sid, 0});
            app != m_userApplications.end() && !app->second.empty()) {
            s.userApplication = IsTpeg(fig.sid, 0) ? kUserApplicationTpeg : app->second.front();
        }
        ensemble.services.push_back(std::move(s));
        for (std::size_t i = 0; i < fig.componentCount; ++i) {
            const FigServiceComponent& c = fig.components[i];
            const auto scids = ScidsOf(fig, c);
            if (&c == primary || c.tmid != 3 || !scids || *scids == 0 || !IsTpeg(fig.sid, scids)) {
                continue;
            }
            Service secondary = common;
            if (packetService(secondary, c.scid)) {
                secondary.scids = *scids;
                secondary.userApplication = kUserApplicationTpeg;
                ensemble.services.push_back(std::move(secondary));
            }
        }
    }
    return ensemble;
}

bool FicDecoder::IsComplete() const {
    if (!m_haveEid || !m_haveLabel || m_services.empty()) {
        return false;
    }
    const EnsembleDescription ensemble = Ensemble();
    std::size_t primaries = 0;
    for (const Service& s : ensemble.services) {
        primaries += s.scids == 0;
        if (s.label.empty() || ensemble.FindSubChannel(s.subChannelId) == nullptr) {
            return false;
        }
    }
    if (primaries != m_services.size()) {
        return false;
    }
    // A secondary packet-mode component is complete once it is known whether it is TPEG.
    for (const auto& [sid, entry] : m_services) {
        const FigService& fig = entry.fig;
        for (std::size_t i = 0; i < fig.componentCount; ++i) {
            const FigServiceComponent& c = fig.components[i];
            if (c.primary || c.tmid != 3) {
                continue;
            }
            const auto scids = ScidsOf(fig, c);
            if (!m_packetComponents.contains(c.scid) || !scids ||
                !m_userApplications.contains({sid, *scids})) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace broadcast
