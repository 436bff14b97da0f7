#include "tools/mkbroadcast/config.h"

#include <charconv>
#include <chrono>
#include <set>
#include <vector>

#include "broadcast/data_group.h"
#include "broadcast/eti.h"
#include "broadcast/fic.h"
#include "broadcast/fig.h"
#include "broadcast/packet.h"
#include "broadcast/packet_fec.h"

namespace mkbroadcast {
namespace {

namespace bc = broadcast;

constexpr std::uint16_t kTotalCu = 864;
// ETI frame bytes left for streams after SYNC, FC, EOH, FIC, EOF and TIST with a few STCs.
constexpr std::size_t kStreamBudget = bc::kEtiFrameSize - 4 - 4 - 4 - 96 - 4 - 4;

// Splits a line into words; "quoted text" is one word, # starts a comment.
bool Tokenize(std::string_view line, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            const std::size_t end = line.find('"', i + 1);
            if (end == std::string_view::npos) {
                error = "unterminated quote";
                return false;
            }
            words.emplace_back(line.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            std::size_t end = i;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t' &&
                   line[end] != '\r' && line[end] != '#') {
                ++end;
            }
            words.emplace_back(line.substr(i, end - i));
            i = end;
        }
    }
    return true;
}

bool ParseNumber(const std::string& word, std::uint64_t max, std::uint64_t& value) {
    int base = 10;
    std::string_view digits = word;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        base = 16;
        digits.remove_prefix(2);
    }
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    return ec == std::errc() && end == digits.data() + digits.size() && !digits.empty() &&
           value <= max;
}

class Parser {
  public:
    explicit Parser(BroadcastPlan& plan) : m_plan(plan) {}

    bool Line(const std::vector<std::string>& w, std::string& error) {
        const std::string& key = w[0];
        if (key == "frames") {
            return Frames(w, error);
        }
        if (key == "ensemble") {
            return Ensemble(w, error);
        }
        if (m_plan.ensembles.empty()) {
            error = "'" + key + "' before the first 'ensemble'";
            return false;
        }
        if (key == "subchannel") {
            return SubChannel(w, error);
        }
        if (key == "audio" || key == "video" || key == "tpeg") {
            return Service(w, error);
        }
        if (key == "tpeg-secondary") {
            return SecondaryTpeg(w, error);
        }
        if (key == "ignored-figs") {
            return IgnoredFigs(w, error);
        }
        if (key == "time") {
            return Time(w, error);
        }
        error = "unknown keyword '" + key + "'";
        return false;
    }

    bool Finish(std::string& error) {
        if (m_plan.ensembles.empty()) {
            error = "no ensemble described";
            return false;
        }
        for (const EnsemblePlan& e : m_plan.ensembles) {
            if (e.ensemble.services.empty()) {
                error = "ensemble " + std::to_string(e.frequencyKhz) + " has no service";
                return false;
            }
            for (const bc::SubChannel& sc : e.ensemble.subChannels) {
                bool tpeg = false;
                for (const TpegSource& s : e.tpeg) {
                    tpeg = tpeg || FindTpegComponent(e.ensemble, s.sid)->subChannelId == sc.id;
                }
                if (sc.fecScheme != 0 && !tpeg) {
                    error = "sub-channel " + std::to_string(sc.id) +
                            ": fec only applies to a TPEG sub-channel";
                    return false;
                }
            }
        }
        return true;
    }

  private:
    EnsemblePlan& Current() { return m_plan.ensembles.back(); }

    bool Frames(const std::vector<std::string>& w, std::string& error) {
        std::uint64_t frames = 0;
        if (w.size() != 2 || !ParseNumber(w[1], 1000000, frames) || frames == 0) {
            error = "expected: frames COUNT (1 to 1000000)";
            return false;
        }
        m_plan.frames = static_cast<std::uint32_t>(frames);
        return true;
    }

    bool Ensemble(const std::vector<std::string>& w, std::string& error) {
        std::uint64_t frequency = 0;
        std::uint64_t eid = 0;
        if (w.size() != 4 || !ParseNumber(w[1], 3000000, frequency) || frequency == 0 ||
            !ParseNumber(w[2], 0xFFFF, eid)) {
            error = "expected: ensemble FREQUENCY_KHZ EID \"LABEL\"";
            return false;
        }
        if (!Label(w[3], error)) {
            return false;
        }
        for (const EnsemblePlan& e : m_plan.ensembles) {
            if (e.frequencyKhz == frequency) {
                error = "frequency " + w[1] + " described twice";
                return false;
            }
        }
        EnsemblePlan plan;
        plan.frequencyKhz = static_cast<std::uint32_t>(frequency);
        plan.ensemble.eid = static_cast<std::uint16_t>(eid);
        plan.ensemble.label = w[3];
        m_plan.ensembles.push_back(std::move(plan));
        m_nextCu = 0;
        m_streamBytes = 0;
        return true;
    }

    bool SubChannel(const std::vector<std::string>& w, std::string& error) {
        std::uint64_t id = 0;
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        bc::SubChannel sc;
        std::size_t next = 0;
        if (w.size() >= 4 && ParseNumber(w[1], 63, id) && w[2] == "uep" &&
            ParseNumber(w[3], 63, a)) {
            sc = bc::UepSubChannel(static_cast<std::uint8_t>(id), m_nextCu,
                                   static_cast<std::uint8_t>(a));
            next = 4;
        } else if (w.size() >= 5 && ParseNumber(w[1], 63, id) && w[2] == "eep" &&
                   ParseNumber(w[3], 1024, a) && a > 0 && a % 8 == 0 && ParseNumber(w[4], 4, b) &&
                   b >= 1) {
            sc = bc::EepSubChannel(static_cast<std::uint8_t>(id), m_nextCu,
                                   static_cast<std::uint16_t>(a), static_cast<std::uint8_t>(b));
            next = 5;
        } else {
            error =
                "expected: subchannel ID uep TABLE_INDEX [fec] | subchannel ID eep "
                "BITRATE LEVEL [fec] (ID 0-63, BITRATE a multiple of 8 kbit/s, LEVEL 1-4)";
            return false;
        }
        for (; next < w.size(); ++next) {
            if (w[next] != "fec") {
                error = "unknown sub-channel option '" + w[next] + "'";
                return false;
            }
            sc.fecScheme = 1;
        }
        if (Current().ensemble.FindSubChannel(sc.id) != nullptr) {
            error = "sub-channel " + w[1] + " described twice";
            return false;
        }
        if (m_nextCu + sc.sizeCu > kTotalCu) {
            error = "sub-channels exceed the ensemble's 864 capacity units";
            return false;
        }
        m_streamBytes += sc.StreamLengthWords() * 8u + 4;
        if (m_streamBytes > kStreamBudget) {
            error = "sub-channels exceed the ETI frame";
            return false;
        }
        m_nextCu = static_cast<std::uint16_t>(m_nextCu + sc.sizeCu);
        Current().ensemble.subChannels.push_back(sc);
        return true;
    }

    bool Service(const std::vector<std::string>& w, std::string& error) {
        const bool tpeg = w[0] == "tpeg";
        std::uint64_t sid = 0;
        std::uint64_t sub = 0;
        std::uint64_t address = 0;
        const std::size_t fixed = tpeg ? 5 : 4;
        if (w.size() < fixed || !ParseNumber(w[1], 0xFFFFFFFF, sid) ||
            !ParseNumber(w[3], 63, sub) ||
            (tpeg && (!ParseNumber(w[4], 1021, address) || address == 0)) ||
            (!tpeg && w.size() != fixed && (w.size() != fixed + 1 || w[fixed] != "pattern"))) {
            error = tpeg ? "expected: tpeg SID \"LABEL\" SUBCHANNEL ADDRESS [sid A.B.C] [name "
                           "\"TEXT\"] [period FRAMES] [content FOLDER] [packet SIZE]"
                         : "expected: " + w[0] + " SID \"LABEL\" SUBCHANNEL [pattern]";
            return false;
        }
        if (!Label(w[2], error)) {
            return false;
        }
        if (!tpeg && sid > 0xFFFF) {
            error = w[0] + " services take a 16-bit SId";
            return false;
        }
        if (Current().ensemble.FindService(static_cast<std::uint32_t>(sid)) != nullptr) {
            error = "SId " + w[1] + " described twice";
            return false;
        }
        if (Current().ensemble.FindSubChannel(static_cast<std::uint8_t>(sub)) == nullptr) {
            error = "sub-channel " + w[3] + " is not described";
            return false;
        }
        for (const bc::Service& s : Current().ensemble.services) {
            if (s.subChannelId == sub) {
                error = "sub-channel " + w[3] + " already carries a service";
                return false;
            }
        }
        bc::Service service;
        service.sid = static_cast<std::uint32_t>(sid);
        service.longSid = sid > 0xFFFF;
        service.label = w[2];
        service.subChannelId = static_cast<std::uint8_t>(sub);
        if (!tpeg && w.size() > fixed) {
            Current().patternSubChannels.push_back(static_cast<std::uint8_t>(sub));
        }
        if (w[0] == "audio") {
            service.kind = bc::ServiceKind::Audio;
            service.componentType = bc::kAsctyMpegLayer2;
        } else if (w[0] == "video") {
            service.kind = bc::ServiceKind::Video;
            service.componentType = bc::kDsctyMpeg2Ts;
        } else {
            service.kind = bc::ServiceKind::Data;
            service.packetMode = true;
            service.componentType = bc::kDsctyTdc;
            service.userApplication = bc::kUserApplicationTpeg;
            service.packetAddress = static_cast<std::uint16_t>(address);
            service.serviceComponentId = static_cast<std::uint16_t>(++m_nextScid);
            TpegSource source;
            source.sid = service.sid;
            source.serviceName = service.label;
            if (!TpegOptions(w, fixed, source, error)) {
                return false;
            }
            if (source.sharedAddress == service.packetAddress) {
                error = "shared address " + w[4] + " is the TPEG service's own";
                return false;
            }
            service.dataGroups = !source.dgFlag;
            Current().tpeg.push_back(source);
        }
        Current().ensemble.services.push_back(service);
        return true;
    }

    // tpeg-secondary PROGRAMME_SID SUBCHANNEL ADDRESS [tpeg options]: TPEG as a secondary
    // packet-mode component of an audio or video service described before.
    bool SecondaryTpeg(const std::vector<std::string>& w, std::string& error) {
        std::uint64_t sid = 0;
        std::uint64_t sub = 0;
        std::uint64_t address = 0;
        if (w.size() < 4 || !ParseNumber(w[1], 0xFFFF, sid) || !ParseNumber(w[2], 63, sub) ||
            !ParseNumber(w[3], 1021, address) || address == 0) {
            error =
                "expected: tpeg-secondary PROGRAMME_SID SUBCHANNEL ADDRESS [sid A.B.C] "
                "[name \"TEXT\"] [period FRAMES] [content FOLDER] [packet SIZE]";
            return false;
        }
        bc::EnsembleDescription& ensemble = Current().ensemble;
        const bc::Service* programme = ensemble.FindService(static_cast<std::uint32_t>(sid));
        if (programme == nullptr || programme->packetMode) {
            error = "SId " + w[1] + " is not an audio or video service described before";
            return false;
        }
        if (FindTpegComponent(ensemble, programme->sid) != nullptr) {
            error = "SId " + w[1] + " already has a TPEG component";
            return false;
        }
        if (ensemble.FindSubChannel(static_cast<std::uint8_t>(sub)) == nullptr) {
            error = "sub-channel " + w[2] + " is not described";
            return false;
        }
        for (const bc::Service& s : ensemble.services) {
            if (s.subChannelId == sub) {
                error = "sub-channel " + w[2] + " already carries a service";
                return false;
            }
        }
        bc::Service component = *programme;
        component.kind = bc::ServiceKind::Data;
        component.subChannelId = static_cast<std::uint8_t>(sub);
        component.packetMode = true;
        component.componentType = bc::kDsctyTdc;
        component.userApplication = bc::kUserApplicationTpeg;
        component.packetAddress = static_cast<std::uint16_t>(address);
        component.serviceComponentId = static_cast<std::uint16_t>(++m_nextScid);
        component.scids = 1;
        TpegSource source;
        source.sid = component.sid;
        source.serviceName = component.label;
        if (!TpegOptions(w, 4, source, error)) {
            return false;
        }
        Current().tpeg.push_back(source);
        ensemble.services.push_back(component);
        return true;
    }

    // ignored-figs next|other-ensemble ...
    bool IgnoredFigs(const std::vector<std::string>& w, std::string& error) {
        if (w.size() < 2) {
            error = "expected: ignored-figs next|other-ensemble ...";
            return false;
        }
        for (std::size_t i = 1; i < w.size(); ++i) {
            if (w[i] == "next") {
                Current().nextConfigurationFigs = true;
            } else if (w[i] == "other-ensemble") {
                Current().otherEnsembleFigs = true;
            } else {
                error = "ignored-figs takes next or other-ensemble, not '" + w[i] + "'";
                return false;
            }
        }
        return true;
    }

    // time YYYY-MM-DDTHH:MM:SS: the UTC date and time of the first frame, sent as FIG 0/10.
    bool Time(const std::vector<std::string>& w, std::string& error) {
        const auto field = [&](std::size_t at, std::size_t digits, unsigned& value) {
            std::uint64_t n = 0;
            if (w[1].size() < at + digits || !ParseNumber(w[1].substr(at, digits), 9999, n)) {
                return false;
            }
            value = static_cast<unsigned>(n);
            return true;
        };
        unsigned year = 0, month = 0, day = 0, hours = 0, minutes = 0, seconds = 0;
        const bool parsed = w.size() == 2 && w[1].size() == 19 && w[1][4] == '-' &&
                            w[1][7] == '-' && w[1][10] == 'T' && w[1][13] == ':' &&
                            w[1][16] == ':' && field(0, 4, year) && field(5, 2, month) &&
                            field(8, 2, day) && field(11, 2, hours) && field(14, 2, minutes) &&
                            field(17, 2, seconds);
        const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(year)),
                                               std::chrono::month(month), std::chrono::day(day)};
        if (!parsed || !date.ok() || year < 1970 || year > 2199 || hours > 23 || minutes > 59 ||
            seconds > 59) {
            error = "expected: time YYYY-MM-DDTHH:MM:SS (UTC, 1970 to 2199)";
            return false;
        }
        const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
        Current().firstFrameUtcMs =
            ((days * 24 + hours) * 60 + minutes) * 60000 + std::int64_t{seconds} * 1000;
        return true;
    }

    bool TpegOptions(const std::vector<std::string>& w, std::size_t at, TpegSource& source,
                     std::string& error) {
        for (; at < w.size(); at += 2) {
            if (at + 1 >= w.size()) {
                error = "option '" + w[at] + "' needs a value";
                return false;
            }
            const std::string& key = w[at];
            const std::string& value = w[at + 1];
            std::uint64_t n = 0;
            if (key == "sid") {
                std::uint64_t a = 0, b = 0, c = 0;
                const std::size_t d1 = value.find('.');
                const std::size_t d2 = value.find('.', d1 == std::string::npos ? d1 : d1 + 1);
                if (d1 == std::string::npos || d2 == std::string::npos ||
                    !ParseNumber(value.substr(0, d1), 255, a) ||
                    !ParseNumber(value.substr(d1 + 1, d2 - d1 - 1), 255, b) ||
                    !ParseNumber(value.substr(d2 + 1), 255, c)) {
                    error = "sid takes A.B.C with numbers 0-255";
                    return false;
                }
                source.tpegSid = {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                                  static_cast<std::uint8_t>(c)};
            } else if (key == "name") {
                source.serviceName = value;
            } else if (key == "period") {
                if (!ParseNumber(value, 1000000, n) || n == 0) {
                    error = "period takes a number of frames (1 to 1000000)";
                    return false;
                }
                source.changePeriodFrames = static_cast<std::uint32_t>(n);
            } else if (key == "content") {
                source.contentFolder = value;
            } else if (key == "stream") {
                source.streamFile = value;
            } else if (key == "packet") {
                if (!ParseNumber(value, 96, n) || n == 0 || n % 24 != 0) {
                    error = "packet takes 24, 48, 72 or 96";
                    return false;
                }
                source.packetSize = n;
            } else if (ParseStreamShapeOption(key, value, source.shape, error)) {
                continue;
            } else if (!error.empty() || !AirShapeOption(key, value, source, error)) {
                return false;
            }
        }
        if (!source.streamFile.empty() && !source.contentFolder.empty()) {
            error = "stream and content exclude each other";
            return false;
        }
        if (source.dgFlag && (source.repeat != 0 || source.segmentSize != 0)) {
            error = "dgflag 1 sends no data groups to repeat or segment";
            return false;
        }
        return true;
    }

    // Options shaping the sub-channel as broadcasters do, beyond what the demo needs.
    static bool AirShapeOption(const std::string& key, const std::string& value, TpegSource& source,
                               std::string& error) {
        std::uint64_t n = 0;
        if (key == "repeat") {
            if (!ParseNumber(value, 15, n)) {
                error = "repeat takes a number of extra copies (0 to 15)";
                return false;
            }
            source.repeat = static_cast<std::uint8_t>(n);
        } else if (key == "segment") {
            if (!ParseNumber(value, bc::kMaxDataGroupDataSize, n)) {
                error = "segment takes a segment size in bytes (0 = off, at most 8191)";
                return false;
            }
            source.segmentSize = n;
        } else if (key == "dgflag") {
            if (!ParseNumber(value, 1, n)) {
                error = "dgflag takes 0 or 1";
                return false;
            }
            source.dgFlag = n == 1;
        } else if (key == "shared") {
            if (!ParseNumber(value, 1021, n) || n == 0) {
                error = "shared takes the packet address of the other service (1-1021)";
                return false;
            }
            source.sharedAddress = static_cast<std::uint16_t>(n);
        } else {
            error = "unknown tpeg option '" + key + "'";
            return false;
        }
        return true;
    }

    static bool Label(const std::string& label, std::string& error) {
        if (label.empty() || label.size() > bc::kLabelSize) {
            error = "label \"" + label + "\" must have 1 to 16 characters";
            return false;
        }
        return true;
    }

    BroadcastPlan& m_plan;
    std::uint16_t m_nextCu = 0;
    std::size_t m_streamBytes = 0;
    std::uint16_t m_nextScid = 0;
};

}  // namespace

bool ParseConfig(std::string_view text, BroadcastPlan& plan, std::string& error) {
    plan = BroadcastPlan{};
    Parser parser(plan);
    std::vector<std::string> words;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        std::string lineError;
        if (!Tokenize(line, words, lineError) ||
            (!words.empty() && !parser.Line(words, lineError))) {
            error = "line " + std::to_string(lineNumber) + ": " + lineError;
            return false;
        }
    }
    return parser.Finish(error);
}

}  // namespace mkbroadcast
