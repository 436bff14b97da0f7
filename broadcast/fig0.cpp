#include <array>

#include "broadcast/bytes.h"
#include "broadcast/fig.h"

namespace broadcast {
namespace {

void ParseFig0_0(std::span<const std::uint8_t> d, FigSink& sink) {
    if (d.size() >= 4) {
        const std::uint16_t cif = static_cast<std::uint16_t>(((d[2] & 0x1F) * 250) + d[3]);
        sink.OnEnsembleInfo(ReadU16(d, 0), cif);
    }
}

FigError ParseFig0_1(std::span<const std::uint8_t> d, FigSink& sink) {
    std::size_t at = 0;
    while (at < d.size()) {
        if (d.size() - at < 3) {
            return FigError::TooShort;
        }
        SubChannel sc;
        sc.id = d[at] >> 2;
        sc.startAddress = ReadU16(d, at) & 0x3FF;
        sc.shortForm = (d[at + 2] & 0x80) == 0;
        if (sc.shortForm) {
            sc.tableIndex = d[at + 2] & 0x3F;
            at += 3;
        } else {
            if (d.size() - at < 4) {
                return FigError::TooShort;
            }
            sc.option = (d[at + 2] >> 4) & 7;
            sc.protectionLevel = static_cast<std::uint8_t>(((d[at + 2] >> 2) & 3) + 1);
            sc.sizeCu = ReadU16(d, at + 2) & 0x3FF;
            at += 4;
        }
        if (CompleteSubChannel(sc)) {
            sink.OnSubChannel(sc);
        }
    }
    return FigError::None;
}

FigError ParseFig0_2(std::span<const std::uint8_t> d, bool longSids, FigSink& sink) {
    const std::size_t sidSize = longSids ? 4 : 2;
    std::size_t at = 0;
    while (at < d.size()) {
        if (d.size() - at < sidSize + 1) {
            return FigError::TooShort;
        }
        FigService service;
        service.longSid = longSids;
        service.sid = longSids ? ReadU32(d, at) : ReadU16(d, at);
        at += sidSize;
        service.componentCount = d[at] & 0x0F;
        ++at;
        if (service.componentCount > service.components.size() ||
            d.size() - at < 2 * service.componentCount) {
            return FigError::TooShort;
        }
        for (std::size_t i = 0; i < service.componentCount; ++i, at += 2) {
            FigServiceComponent& c = service.components[i];
            c.tmid = d[at] >> 6;
            c.primary = (d[at + 1] & 0x02) != 0;
            if (c.tmid == 3) {
                c.scid = (ReadU16(d, at) >> 2) & 0xFFF;
            } else {
                c.type = d[at] & 0x3F;
                c.subChannelId = d[at + 1] >> 2;
            }
        }
        sink.OnService(service);
    }
    return FigError::None;
}

FigError ParseFig0_3(std::span<const std::uint8_t> d, FigSink& sink) {
    std::size_t at = 0;
    while (at < d.size()) {
        if (d.size() - at < 5) {
            return FigError::TooShort;
        }
        FigPacketComponent c;
        c.scid = ReadU16(d, at) >> 4;
        const bool caOrg = (d[at + 1] & 0x01) != 0;
        c.dataGroups = (d[at + 2] & 0x80) == 0;
        c.dscty = d[at + 2] & 0x3F;
        c.subChannelId = d[at + 3] >> 2;
        c.packetAddress = ReadU16(d, at + 3) & 0x3FF;
        at += 5;
        if (caOrg) {
            if (d.size() - at < 2) {
                return FigError::TooShort;
            }
            at += 2;
        }
        sink.OnPacketComponent(c);
    }
    return FigError::None;
}

FigError ParseFig0_8(std::span<const std::uint8_t> d, bool longSids, FigSink& sink) {
    const std::size_t sidSize = longSids ? 4 : 2;
    std::size_t at = 0;
    while (at < d.size()) {
        if (d.size() - at < sidSize + 2) {
            return FigError::TooShort;
        }
        FigComponentLink link;
        link.sid = longSids ? ReadU32(d, at) : ReadU16(d, at);
        at += sidSize;
        const bool extension = (d[at] & 0x80) != 0;
        link.scids = d[at] & 0x0F;
        ++at;
        link.longForm = (d[at] & 0x80) != 0;
        if (link.longForm) {
            if (d.size() - at < 2) {
                return FigError::TooShort;
            }
            link.scid = ReadU16(d, at) & 0xFFF;
            at += 2;
        } else {
            link.subChannelId = d[at] & 0x3F;
            ++at;
        }
        if (extension) {
            if (d.size() - at < 1) {
                return FigError::TooShort;
            }
            ++at;
        }
        sink.OnComponentLink(link);
    }
    return FigError::None;
}

FigError ParseFig0_13(std::span<const std::uint8_t> d, bool longSids, FigSink& sink) {
    const std::size_t sidSize = longSids ? 4 : 2;
    std::size_t at = 0;
    while (at < d.size()) {
        if (d.size() - at < sidSize + 1) {
            return FigError::TooShort;
        }
        const std::uint32_t sid = longSids ? ReadU32(d, at) : ReadU16(d, at);
        at += sidSize;
        const std::uint8_t scids = d[at] >> 4;
        const std::size_t apps = d[at] & 0x0F;
        ++at;
        std::array<std::uint16_t, 15> types{};
        for (std::size_t i = 0; i < apps; ++i) {
            if (d.size() - at < 2) {
                return FigError::TooShort;
            }
            types[i] = static_cast<std::uint16_t>(ReadU16(d, at) >> 5);
            const std::size_t dataLength = d[at + 1] & 0x1F;
            at += 2;
            if (d.size() - at < dataLength) {
                return FigError::TooShort;
            }
            at += dataLength;
        }
        sink.OnUserApplications(sid, scids, std::span(types).first(apps));
    }
    return FigError::None;
}

FigError ParseFig0_10(std::span<const std::uint8_t> d, FigSink& sink) {
    if (d.size() < 4) {
        return FigError::TooShort;
    }
    const std::uint32_t word = ReadU32(d, 0);
    FigDateTime time;
    time.mjd = (word >> 14) & 0x1FFFF;
    time.leapSecond = ((word >> 13) & 1) != 0;
    time.rfa = ((word >> 12) & 1) != 0;
    time.longForm = ((word >> 11) & 1) != 0;
    time.hours = static_cast<std::uint8_t>((word >> 6) & 0x1F);
    time.minutes = static_cast<std::uint8_t>(word & 0x3F);
    if (time.longForm) {
        if (d.size() < 6) {
            return FigError::TooShort;
        }
        const std::uint16_t rest = ReadU16(d, 4);
        time.seconds = static_cast<std::uint8_t>(rest >> 10);
        time.milliseconds = rest & 0x3FF;
    }
    if (time.hours > 23 || time.minutes > 59 || time.seconds > 59 || time.milliseconds > 999) {
        return FigError::Invalid;
    }
    sink.OnDateTime(time);
    return FigError::None;
}

// Multiplex configuration information, for which C/N marks the next configuration (for the
// other extensions it marks a database continuation and the content still applies).
bool IsMci(std::uint8_t extension) {
    switch (extension) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 8:
        case 14:
            return true;
        default:
            return false;
    }
}

}  // namespace

FigError ParseFig0(std::span<const std::uint8_t> figData, FigSink& sink) {
    if (figData.empty()) {
        return FigError::TooShort;
    }
    const bool next = (figData[0] & 0x80) != 0;
    const bool otherEnsemble = (figData[0] & 0x40) != 0;
    const bool longSids = (figData[0] & 0x20) != 0;
    const std::uint8_t extension = figData[0] & 0x1F;
    const std::span<const std::uint8_t> d = figData.subspan(1);
    if (extension == 10) {
        // Flagged as another ensemble's or the next configuration's, it is no time that holds
        // here and now.
        return next || otherEnsemble ? FigError::Invalid : ParseFig0_10(d, sink);
    }
    if (otherEnsemble || (next && IsMci(extension))) {
        return FigError::None;
    }
    switch (extension) {
        case 0:
            ParseFig0_0(d, sink);
            return d.size() >= 4 ? FigError::None : FigError::TooShort;
        case 1:
            return ParseFig0_1(d, sink);
        case 2:
            return ParseFig0_2(d, longSids, sink);
        case 3:
            return ParseFig0_3(d, sink);
        case 8:
            return ParseFig0_8(d, longSids, sink);
        case 13:
            return ParseFig0_13(d, longSids, sink);
        case 14:
            for (const std::uint8_t entry : d) {
                sink.OnFecScheme(entry >> 2, entry & 3);
            }
            return FigError::None;
        default:
            return FigError::Unsupported;
    }
}

void PackFig0(std::uint8_t extension, bool longSids,
              const std::vector<std::vector<std::uint8_t>>& entries, std::vector<Fig>& figs) {
    Fig fig;
    auto flush = [&] {
        if (fig.size() > 2) {
            fig[0] = static_cast<std::uint8_t>((0 << 5) | (fig.size() - 1));
            figs.push_back(fig);
        }
        fig = {0, static_cast<std::uint8_t>((longSids ? 0x20 : 0) | (extension & 0x1F))};
    };
    flush();
    for (const auto& entry : entries) {
        if (fig.size() + entry.size() > kMaxFigSize) {
            flush();
        }
        fig.insert(fig.end(), entry.begin(), entry.end());
    }
    flush();
}

Fig EncodeFig0_0(std::uint16_t eid, std::uint16_t cifCount) {
    Fig fig{static_cast<std::uint8_t>((0 << 5) | 5), 0};
    AppendU16(fig, eid);
    AppendU8(fig, (cifCount / 250) % 20);
    AppendU8(fig, cifCount % 250);
    return fig;
}

std::int64_t UtcSeconds(const FigDateTime& time) {
    return (static_cast<std::int64_t>(time.mjd) - kMjd1970) * 86400 + time.hours * 3600 +
           time.minutes * 60 + time.seconds;
}

std::optional<FigDateTime> FigDateTimeAt(std::int64_t utcMilliseconds) {
    constexpr std::int64_t kDayMs = 86400000;
    if (utcMilliseconds < 0 || utcMilliseconds / kDayMs > 0x1FFFF - kMjd1970) {
        return std::nullopt;
    }
    const std::int64_t ms = utcMilliseconds % kDayMs;
    FigDateTime time;
    time.mjd = static_cast<std::uint32_t>(kMjd1970 + utcMilliseconds / kDayMs);
    time.longForm = true;
    time.hours = static_cast<std::uint8_t>(ms / 3600000);
    time.minutes = static_cast<std::uint8_t>(ms / 60000 % 60);
    time.seconds = static_cast<std::uint8_t>(ms / 1000 % 60);
    time.milliseconds = static_cast<std::uint16_t>(ms % 1000);
    return time;
}

Fig EncodeFig0_10(const FigDateTime& time) {
    Fig fig{static_cast<std::uint8_t>((0 << 5) | (time.longForm ? 7 : 5)), 10};
    AppendU32(fig, ((time.mjd & 0x1FFFF) << 14) | (time.leapSecond ? 1u << 13 : 0) |
                       (time.rfa ? 1u << 12 : 0) | (time.longForm ? 1u << 11 : 0) |
                       ((time.hours & 0x1Fu) << 6) | (time.minutes & 0x3Fu));
    if (time.longForm) {
        AppendU16(fig, ((time.seconds & 0x3Fu) << 10) | (time.milliseconds & 0x3FFu));
    }
    return fig;
}

void AppendFig0_1(std::span<const SubChannel> subChannels, std::vector<Fig>& figs) {
    std::vector<std::vector<std::uint8_t>> entries;
    for (const SubChannel& sc : subChannels) {
        std::vector<std::uint8_t> e;
        AppendU16(e, (sc.id << 10) | (sc.startAddress & 0x3FF));
        if (sc.shortForm) {
            AppendU8(e, sc.tableIndex & 0x3F);
        } else {
            AppendU16(e, 0x8000 | ((sc.option & 7) << 12) | (((sc.protectionLevel - 1) & 3) << 10) |
                             (sc.sizeCu & 0x3FF));
        }
        entries.push_back(std::move(e));
    }
    PackFig0(1, false, entries, figs);
}

void AppendFig0_2(std::span<const Service> services, bool longSids, std::vector<Fig>& figs) {
    std::vector<std::vector<std::uint8_t>> entries;
    for (const Service& primary : services) {
        if (primary.longSid != longSids || primary.scids != 0) {
            continue;
        }
        std::vector<const Service*> components{&primary};
        for (const Service& s : services) {
            if (s.sid == primary.sid && s.scids != 0 && s.packetMode) {
                components.push_back(&s);
            }
        }
        std::vector<std::uint8_t> e;
        if (longSids) {
            AppendU32(e, primary.sid);
        } else {
            AppendU16(e, primary.sid);
        }
        AppendU8(e, static_cast<std::uint8_t>(components.size() & 0x0F));
        for (const Service* s : components) {
            const unsigned ps = s == &primary ? 0x02 : 0x00;
            if (s->packetMode) {
                AppendU16(e, (3 << 14) | ((s->serviceComponentId & 0xFFF) << 2) | ps);
            } else {
                const unsigned tmid = s->kind == ServiceKind::Audio ? 0 : 1;
                AppendU8(e, (tmid << 6) | (s->componentType & 0x3F));
                AppendU8(e, ((s->subChannelId & 0x3F) << 2) | ps);
            }
        }
        entries.push_back(std::move(e));
    }
    PackFig0(2, longSids, entries, figs);
}

void AppendFig0_3(std::span<const Service> services, std::vector<Fig>& figs) {
    std::vector<std::vector<std::uint8_t>> entries;
    for (const Service& s : services) {
        if (!s.packetMode) {
            continue;
        }
        std::vector<std::uint8_t> e;
        AppendU16(e, (s.serviceComponentId & 0xFFF) << 4);
        AppendU8(e, (s.dataGroups ? 0 : 0x80) | (s.componentType & 0x3F));
        AppendU16(e, ((s.subChannelId & 0x3F) << 10) | (s.packetAddress & 0x3FF));
        entries.push_back(std::move(e));
    }
    PackFig0(3, false, entries, figs);
}

void AppendFig0_13(std::span<const Service> services, std::vector<Fig>& figs) {
    for (const bool longSids : {false, true}) {
        std::vector<std::vector<std::uint8_t>> entries;
        for (const Service& s : services) {
            if (s.userApplication == 0 || s.longSid != longSids) {
                continue;
            }
            std::vector<std::uint8_t> e;
            if (longSids) {
                AppendU32(e, s.sid);
            } else {
                AppendU16(e, s.sid);
            }
            AppendU8(e, static_cast<std::uint8_t>(((s.scids & 0x0F) << 4) | 0x01));
            AppendU16(e, (s.userApplication & 0x7FF) << 5);
            entries.push_back(std::move(e));
        }
        PackFig0(13, longSids, entries, figs);
    }
}

void AppendFig0_8(std::span<const Service> services, std::vector<Fig>& figs) {
    for (const bool longSids : {false, true}) {
        std::vector<std::vector<std::uint8_t>> entries;
        for (const Service& s : services) {
            if (s.scids == 0 || !s.packetMode || s.longSid != longSids) {
                continue;
            }
            std::vector<std::uint8_t> e;
            if (longSids) {
                AppendU32(e, s.sid);
            } else {
                AppendU16(e, s.sid);
            }
            AppendU8(e, s.scids & 0x0F);
            AppendU16(e, 0x8000 | (s.serviceComponentId & 0xFFF));
            entries.push_back(std::move(e));
        }
        PackFig0(8, longSids, entries, figs);
    }
}

void SetFig0Flags(Fig& fig, bool next, bool otherEnsemble) {
    if (fig.size() >= 2 && (fig[0] >> 5) == 0) {
        fig[1] = static_cast<std::uint8_t>((fig[1] & 0x3F) | (next ? 0x80 : 0) |
                                           (otherEnsemble ? 0x40 : 0));
    }
}

void AppendFig0_14(const EnsembleDescription& ensemble, std::vector<Fig>& figs) {
    std::vector<std::vector<std::uint8_t>> entries;
    for (const SubChannel& sc : ensemble.subChannels) {
        bool carriesPackets = false;
        for (const Service& s : ensemble.services) {
            carriesPackets = carriesPackets || (s.packetMode && s.subChannelId == sc.id);
        }
        if (carriesPackets) {
            entries.push_back({static_cast<std::uint8_t>((sc.id << 2) | (sc.fecScheme & 3))});
        }
    }
    PackFig0(14, false, entries, figs);
}

}  // namespace broadcast
