#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "broadcast/content_budget.h"

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

// Message model shared by all ten applications. An application's content is a data set with a
// version and a message count; each component frame carries one message of it:
//   component frame data = message count (1 byte, always 1), then one TPEG2 component:
//   id 0, IntUnLoMB length, IntUnLoMB attribute length, attributes = set version (1 byte),
//   message index (2 bytes), messages in the set (2 bytes), payload bytes.
// The data file is the payloads concatenated in index order.
inline constexpr std::uint8_t kDataSetMessageId = 0;
inline constexpr std::size_t kMaxDataSetMessages = 1024;

struct DataSetMessage {
    std::uint8_t version = 0;
    std::uint16_t index = 0;
    std::uint16_t count = 1;
    std::span<const std::uint8_t> payload;
};

enum class DataSetError {
    None,
    Malformed,  // component frame data does not hold exactly one well-formed message
    BadIndex,   // index not below count, or count zero or above kMaxDataSetMessages
};

const char* ToString(DataSetError error);

// Parses component frame data (data CRC removed); the payload points into data.
DataSetError ParseDataSetMessage(std::span<const std::uint8_t> data, DataSetMessage& out);
void AppendDataSetMessage(const DataSetMessage& message, std::vector<std::uint8_t>& out);

enum class DataSetStatus {
    Pending,     // message taken, the set is not complete
    Changed,     // the set is complete and differs from the last complete one: write it
    Repeated,    // the set is complete and equal to the last complete one
    Rejected,    // message with a bad index or count
    Refused,     // the set does not fit the application's bound: dropped, and so are the
                 // rest of its messages until another version or count arrives
    OverBudget,  // the budget as a whole has no room: message not taken, the set kept
};

// Collects the messages of one application. A message with another version or count starts
// the set afresh; after each completion collection starts again, so every full repetition of
// the set is reported, as Repeated while its bytes stay the same.
//
// Every byte kept (the messages of the set being collected, the last complete set) is charged
// to the application's account of a ContentBudget. When the account has no room the last
// complete set goes first: it only serves to recognise repetitions, and the file written from
// it is compared again by whoever writes it.
class DataSetAssembler {
  public:
    explicit DataSetAssembler(ContentBudget& budget) : m_account(budget) {}

    // stamp marks when a set starts to be collected, so the oldest partial set can be found.
    DataSetStatus Push(const DataSetMessage& message, std::uint64_t stamp = 0);

    // The last complete set's bytes; valid until the next Push or Drop.
    std::span<const std::uint8_t> Content() const { return m_content; }
    std::optional<std::uint8_t> Version() const { return m_completedVersion; }

    // A set is being collected (some of its messages are held).
    bool Collecting() const { return m_received > 0; }
    std::uint64_t StartedAt() const { return m_startedAt; }
    // Lets the partial set go (it starts afresh with the next message); true when one was held.
    bool DropPartial();
    // Lets the last complete set go; true when one was held.
    bool DropCompleted();
    std::size_t Held() const { return m_account.Held(); }
    // The set now on air was refused for not fitting.
    bool Refusing() const { return m_refused; }

  private:
    void ReleaseParts();

    ContentBudget::Account m_account;
    std::uint8_t m_version = 0;
    std::uint16_t m_count = 0;
    std::size_t m_received = 0;
    std::uint64_t m_startedAt = 0;
    std::vector<std::vector<std::uint8_t>> m_parts;
    std::vector<bool> m_have;
    std::vector<std::uint8_t> m_content;
    std::optional<std::uint8_t> m_completedVersion;
    bool m_refused = false;  // the set of m_version and m_count did not fit
};

}  // namespace broadcast
