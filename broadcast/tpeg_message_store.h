#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "broadcast/content_budget.h"
#include "broadcast/tpeg_message.h"

namespace broadcast {

// The current messages of one application, keyed by message id.
//
// A message with an id not held is added; one with a newer version id replaces the held one;
// an equal version is a repetition of the carousel and changes nothing; an older one is
// outdated and ignored. Version ids wrap at 256: a version is newer when it lies 1 to 128 steps
// ahead, so a service may count on for ever.
//
// A cancelled message is removed, and its id remembered until the cancel's own expiry time, so
// that an older copy still on its way round the carousel does not bring it back. A message
// whose expiry time has passed (at or before the time the caller gives) is removed; one that
// arrives expired is not taken.
//
// Every entry is charged to the application's account of a ContentBudget (its bytes and a fixed
// overhead for its bookkeeping). A message that does not fit is refused; a newer version that
// does not fit leaves the older one in place.
//
// Not thread safe: one decoding thread owns the store.
class TpegMessageStore {
  public:
    enum class Outcome {
        Added,       // a new message: the content changed
        Replaced,    // a newer version: the content changed
        Removed,     // cancelled or arrived expired, and was held: the content changed
        Repeated,    // equal version: nothing to do
        Outdated,    // older version than the one held (or cancelled): ignored
        Noted,       // a cancel or expired message for an id not held: nothing to remove
        Refused,     // does not fit the application's account
        OverBudget,  // the budget as a whole has no room
    };
    static bool Changes(Outcome outcome) {
        return outcome == Outcome::Added || outcome == Outcome::Replaced ||
               outcome == Outcome::Removed;
    }

    // Charged for each entry on top of its bytes: the map node and its fields.
    static constexpr std::size_t kEntryOverhead = 64;

    explicit TpegMessageStore(ContentBudget& budget) : m_account(budget) {}

    // now: seconds since 1970-01-01 UTC, the time expiry is judged against. aid: the
    // application the message came with; message ids are an application's own, so the same id
    // of two AIDs feeding one store names two messages.
    Outcome Apply(const TpegMessage& message, std::int64_t now, std::uint16_t aid = 0);
    // Removes what has expired by now; answers the number of current messages removed (the
    // content changed when it is not 0). Cheap when nothing is due, so it may be called with
    // every piece of stream.
    std::size_t Expire(std::int64_t now);
    // Drops everything, remembered cancels too; true when current messages were held.
    bool Clear();

    std::size_t Count() const { return m_current; }
    std::size_t Held() const { return m_account.Held(); }
    // When Expire next has something to do: no later than the earliest expiry time among the
    // entries (nothing when none is held).
    std::optional<std::uint32_t> NextExpiry() const { return m_earliest; }

    // The data file: see WriteMessageFile.
    std::vector<std::uint8_t> File() const;

  private:
    struct Entry {
        std::uint8_t version = 0;
        std::uint32_t expiry = 0;
        bool cancelled = false;
        std::vector<std::uint8_t> bytes;  // empty for a cancelled message
    };
    static std::size_t Cost(const Entry& entry) { return kEntryOverhead + entry.bytes.size(); }
    Outcome Charge(std::size_t more);
    using Key = std::uint64_t;  // AID above the message id
    void Erase(std::map<Key, Entry>::iterator it);

    ContentBudget::Account m_account;
    std::map<Key, Entry> m_entries;
    std::size_t m_current = 0;  // entries not cancelled
    // At or before the earliest expiry held: lowered on every insertion, recomputed only when
    // Expire walks the entries.
    std::optional<std::uint32_t> m_earliest;
};

// Data file of an application: all numbers big-endian.
//   header   = magic "TPMS" (4), format version (2) = 2, reserved (2) = 0, message count (4)
//   message  = AID (2), message id (4), version id (1), expiry time (4, seconds since
//              1970-01-01 UTC), length (4), the message component exactly as broadcast
// Messages in ascending AID, then message id. The AID tells a reader which application's
// decoder a message is for, since one file may hold the messages of several (TEC beside RTM).
inline constexpr std::uint8_t kMessageFileMagic[4] = {'T', 'P', 'M', 'S'};
inline constexpr std::uint16_t kMessageFileVersion = 2;
inline constexpr std::size_t kMessageFileHeaderBytes = 12;
inline constexpr std::size_t kMessageFileRecordBytes = 15;

struct MessageFileEntry {
    std::uint32_t messageId = 0;
    std::uint8_t versionId = 0;
    std::uint32_t expiryTime = 0;
    std::span<const std::uint8_t> bytes;
    std::uint16_t aid = 0;
};

void AppendMessageFileHeader(std::uint32_t count, std::vector<std::uint8_t>& out);
void AppendMessageFileEntry(const MessageFileEntry& entry, std::vector<std::uint8_t>& out);
// Nothing when the bytes are not a data file of this format version.
std::optional<std::vector<MessageFileEntry>> ReadMessageFile(std::span<const std::uint8_t> file);

}  // namespace broadcast
