#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace broadcast {

// The ten TPEG applications of the service: the data file each one produces, the event code
// announcing it, the kind code the navigation application knows it by, and the AID our
// broadcast builder sends it with. Which AIDs a receiver takes for it is ApplicationAids.
struct TpegApplication {
    std::string_view name;
    std::uint16_t aid = 0;
    std::uint16_t eventCode = 0;
    std::string_view fileName;
    std::uint8_t kindCode = 0;
};

inline constexpr std::size_t kTpegApplicationCount = 10;

// In event-code order; the table never changes at run time.
std::span<const TpegApplication, kTpegApplicationCount> TpegApplications();
// By the AID our builder sends; receivers map AIDs through ApplicationAids.
const TpegApplication* FindApplicationByAid(std::uint16_t aid);
const TpegApplication* FindApplicationByEventCode(std::uint16_t eventCode);

// Which AIDs fill which application. An AID fills at most one application; an application
// may take several AIDs, or none.
//
// Defaults: every application takes the AID our builder sends it with, and the registered
// applications other encoders send fill the application of the same content: TEC (0x0005)
// and RTM (0x0001) the RTM file, TFP (0x0007, flow and travel times) CTT level 3, EAW
// (0x000F, emergency alerts) SDI.
class ApplicationAids {
  public:
    // Per application in table order: the AIDs replacing its defaults, or nullopt to keep them.
    using Lists = std::array<std::optional<std::vector<std::uint16_t>>, kTpegApplicationCount>;
    struct Conflict {
        std::uint16_t aid = 0;
        std::size_t kept = 0;     // the application that takes it
        std::size_t dropped = 0;  // the later one that listed it as well
    };

    ApplicationAids();  // the defaults

    // An AID one of the lists names leaves the defaults of every other application, so moving
    // an AID takes one list. An AID two lists name goes to the first in table order; each such
    // case is added to conflicts.
    static ApplicationAids FromLists(const Lists& lists,
                                     std::vector<Conflict>* conflicts = nullptr);

    // The application the AID fills, nullptr when none.
    const TpegApplication* Find(std::uint16_t aid) const;
    // The AIDs filling one application, ascending.
    std::vector<std::uint16_t> AidsOf(std::size_t app) const;

  private:
    explicit ApplicationAids(std::size_t reserve) { m_apps.reserve(reserve); }

    std::vector<std::pair<std::uint16_t, std::uint8_t>> m_apps;  // AID -> table index, by AID
};

// The default AIDs of one application (table index), its builder AID first.
std::vector<std::uint16_t> DefaultAids(std::size_t app);

// A list of AIDs as an integrator types it: hex numbers with or without 0x, separated by spaces
// or commas. Blank text is an empty list. nullopt when any part is not 1 to 4 hex digits, or is
// AID 0 (the SNI's own).
std::optional<std::vector<std::uint16_t>> ParseAidList(std::u16string_view text);

}  // namespace broadcast
