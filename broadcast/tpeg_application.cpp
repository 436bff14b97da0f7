#include "broadcast/tpeg_application.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

namespace broadcast {
namespace {

// RTM keeps its registered AID; the others use a private range, 0xF100 plus the kind code, that
// no registered TPEG application occupies.
constexpr std::array<TpegApplication, kTpegApplicationCount> kApplications{{
    {"CTT level 3", 0xF100, 6124, "TPCTTL3.BIN", 0},
    {"SDI", 0xF10B, 6125, "TPSDI.BIN", 11},
    {"POI", 0xF114, 6126, "TPPOI.BIN", 20},
    {"NWS", 0xF118, 6128, "TPNWS.BIN", 24},
    {"RTM", 0x0001, 6129, "TPRTM.BIN", 15},
    {"CTT summary", 0xF101, 6130, "TPCTTSUM.BIN", 1},
    {"CTT level 3 P", 0xF102, 6131, "TPCTTL3P.BIN", 2},
    {"SDI2", 0xF10C, 6133, "TPSDI2.BIN", 12},
    {"POI-OPS", 0xF116, 6136, "TPOIL.BIN", 22},
    {"POI-OPS2", 0xF115, 6138, "TPOIL2.BIN", 21},
}};

// Registered applications of other encoders, by the table index of the file they fill.
constexpr std::size_t kCttLevel3 = 0, kSdi = 1, kRtm = 4;
constexpr std::pair<std::uint16_t, std::size_t> kRegisteredAids[] = {
    {0x0005, kRtm},        // TEC: traffic events
    {0x0007, kCttLevel3},  // TFP: congestion and travel times
    {0x000F, kSdi},        // EAW: emergency alerts
};

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

std::optional<std::uint16_t> ParseAid(std::u16string_view text) {
    if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 4) {
        return std::nullopt;
    }
    std::uint16_t aid = 0;
    for (const char16_t c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        aid = static_cast<std::uint16_t>(aid * 16 + digit);
    }
    if (aid == 0) {
        return std::nullopt;
    }
    return aid;
}

}  // namespace

std::span<const TpegApplication, kTpegApplicationCount> TpegApplications() {
    return kApplications;
}

const TpegApplication* FindApplicationByAid(std::uint16_t aid) {
    const auto it = std::find_if(kApplications.begin(), kApplications.end(),
                                 [aid](const TpegApplication& app) { return app.aid == aid; });
    return it == kApplications.end() ? nullptr : &*it;
}

const TpegApplication* FindApplicationByEventCode(std::uint16_t eventCode) {
    const auto it = std::find_if(
        kApplications.begin(), kApplications.end(),
        [eventCode](const TpegApplication& app) { return app.eventCode == eventCode; });
    return it == kApplications.end() ? nullptr : &*it;
}

std::vector<std::uint16_t> DefaultAids(std::size_t app) {
    std::vector<std::uint16_t> aids{kApplications.at(app).aid};
    for (const auto& [aid, index] : kRegisteredAids) {
        if (index == app) {
            aids.push_back(aid);
        }
    }
    return aids;
}

ApplicationAids::ApplicationAids() : ApplicationAids(FromLists({})) {}

ApplicationAids ApplicationAids::FromLists(const Lists& lists, std::vector<Conflict>* conflicts) {
    std::set<std::uint16_t> listed;
    for (const auto& list : lists) {
        if (list) {
            listed.insert(list->begin(), list->end());
        }
    }
    std::map<std::uint16_t, std::size_t> apps;
    for (std::size_t app = 0; app < kTpegApplicationCount; ++app) {
        std::vector<std::uint16_t> aids;
        if (lists[app]) {
            aids = *lists[app];
        } else {
            for (const std::uint16_t aid : DefaultAids(app)) {
                if (listed.count(aid) == 0) {
                    aids.push_back(aid);
                }
            }
        }
        for (const std::uint16_t aid : aids) {
            const auto [it, added] = apps.emplace(aid, app);
            if (!added && it->second != app && conflicts != nullptr) {
                conflicts->push_back({aid, it->second, app});
            }
        }
    }
    ApplicationAids result(apps.size());
    for (const auto& [aid, app] : apps) {
        result.m_apps.emplace_back(aid, static_cast<std::uint8_t>(app));
    }
    return result;
}

const TpegApplication* ApplicationAids::Find(std::uint16_t aid) const {
    const auto it =
        std::lower_bound(m_apps.begin(), m_apps.end(), aid,
                         [](const auto& entry, std::uint16_t key) { return entry.first < key; });
    return it != m_apps.end() && it->first == aid ? &kApplications[it->second] : nullptr;
}

std::vector<std::uint16_t> ApplicationAids::AidsOf(std::size_t app) const {
    std::vector<std::uint16_t> aids;
    for (const auto& [aid, index] : m_apps) {
        if (index == app) {
            aids.push_back(aid);
        }
    }
    return aids;
}

std::optional<std::vector<std::uint16_t>> ParseAidList(std::u16string_view text) {
    std::vector<std::uint16_t> aids;
    const auto separator = [](char16_t c) { return c == u' ' || c == u',' || c == u'\t'; };
    std::size_t at = 0;
    while (at < text.size()) {
        if (separator(text[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !separator(text[end])) {
            ++end;
        }
        const auto aid = ParseAid(text.substr(at, end - at));
        if (!aid) {
            return std::nullopt;
        }
        if (std::find(aids.begin(), aids.end(), *aid) == aids.end()) {
            aids.push_back(*aid);
        }
        at = end;
    }
    return aids;
}

}  // namespace broadcast
