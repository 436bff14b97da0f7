#include "broadcast/tpeg_message_store.h"

#include <algorithm>

#include "broadcast/bytes.h"

namespace broadcast {
namespace {

enum class Age { Older, Equal, Newer };

Age Compare(std::uint8_t arriving, std::uint8_t held) {
    const auto ahead = static_cast<std::uint8_t>(arriving - held);
    if (ahead == 0) {
        return Age::Equal;
    }
    return ahead <= 128 ? Age::Newer : Age::Older;
}

bool ExpiredBy(std::uint32_t expiry, std::int64_t now) {
    return std::int64_t{expiry} <= now;
}

}  // namespace

TpegMessageStore::Outcome TpegMessageStore::Charge(std::size_t more) {
    if (m_account.Charge(more)) {
        return Outcome::Added;
    }
    return m_account.BudgetFull(more) ? Outcome::OverBudget : Outcome::Refused;
}

void TpegMessageStore::Erase(std::map<Key, Entry>::iterator it) {
    m_account.Release(Cost(it->second));
    if (!it->second.cancelled) {
        --m_current;
    }
    m_entries.erase(it);
}

TpegMessageStore::Outcome TpegMessageStore::Apply(const TpegMessage& message, std::int64_t now,
                                                  std::uint16_t aid) {
    const MessageManagement& mmc = message.management;
    const Key key = (Key{aid} << 32) | mmc.messageId;
    const auto held = m_entries.find(key);
    if (held != m_entries.end()) {
        switch (Compare(mmc.versionId, held->second.version)) {
            case Age::Equal:
                return Outcome::Repeated;
            case Age::Older:
                return Outcome::Outdated;
            case Age::Newer:
                break;
        }
    }
    const bool wasCurrent = held != m_entries.end() && !held->second.cancelled;
    if (ExpiredBy(mmc.expiryTime, now)) {
        if (held == m_entries.end()) {
            return Outcome::Noted;
        }
        Erase(held);
        return wasCurrent ? Outcome::Removed : Outcome::Noted;
    }

    Entry entry;
    entry.version = mmc.versionId;
    entry.expiry = mmc.expiryTime;
    entry.cancelled = mmc.cancel;
    if (!mmc.cancel) {
        entry.bytes.assign(message.bytes.begin(), message.bytes.end());
    }
    const std::size_t cost = Cost(entry);
    const std::size_t had = held == m_entries.end() ? 0 : Cost(held->second);
    if (cost > had) {
        const Outcome charged = Charge(cost - had);
        if (charged != Outcome::Added) {
            return charged;
        }
    } else {
        m_account.Release(had - cost);
    }
    if (!m_earliest || mmc.expiryTime < *m_earliest) {
        m_earliest = mmc.expiryTime;
    }
    if (held == m_entries.end()) {
        m_entries.emplace(key, std::move(entry));
        if (mmc.cancel) {
            return Outcome::Noted;
        }
        ++m_current;
        return Outcome::Added;
    }
    held->second = std::move(entry);
    if (mmc.cancel) {
        if (wasCurrent) {
            --m_current;
            return Outcome::Removed;
        }
        return Outcome::Noted;
    }
    if (!wasCurrent) {
        ++m_current;
        return Outcome::Added;
    }
    return Outcome::Replaced;
}

std::size_t TpegMessageStore::Expire(std::int64_t now) {
    if (!m_earliest || !ExpiredBy(*m_earliest, now)) {
        return 0;
    }
    std::size_t removed = 0;
    m_earliest.reset();
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const auto next = std::next(it);
        if (ExpiredBy(it->second.expiry, now)) {
            removed += it->second.cancelled ? 0 : 1;
            Erase(it);
        } else if (!m_earliest || it->second.expiry < *m_earliest) {
            m_earliest = it->second.expiry;
        }
        it = next;
    }
    return removed;
}

bool TpegMessageStore::Clear() {
    const bool had = m_current > 0;
    m_entries.clear();
    m_earliest.reset();
    m_account.ReleaseAll();
    m_current = 0;
    return had;
}

std::vector<std::uint8_t> TpegMessageStore::File() const {
    std::size_t size = kMessageFileHeaderBytes;
    for (const auto& [key, entry] : m_entries) {
        size += entry.cancelled ? 0 : kMessageFileRecordBytes + entry.bytes.size();
    }
    std::vector<std::uint8_t> out;
    out.reserve(size);
    AppendMessageFileHeader(static_cast<std::uint32_t>(m_current), out);
    for (const auto& [key, entry] : m_entries) {
        if (!entry.cancelled) {
            AppendMessageFileEntry({static_cast<std::uint32_t>(key), entry.version, entry.expiry,
                                    entry.bytes, static_cast<std::uint16_t>(key >> 32)},
                                   out);
        }
    }
    return out;
}

void AppendMessageFileHeader(std::uint32_t count, std::vector<std::uint8_t>& out) {
    AppendBytes(out, kMessageFileMagic);
    AppendU16(out, kMessageFileVersion);
    AppendU16(out, 0);
    AppendU32(out, count);
}

void AppendMessageFileEntry(const MessageFileEntry& entry, std::vector<std::uint8_t>& out) {
    AppendU16(out, entry.aid);
    AppendU32(out, entry.messageId);
    AppendU8(out, entry.versionId);
    AppendU32(out, entry.expiryTime);
    AppendU32(out, static_cast<std::uint32_t>(entry.bytes.size()));
    AppendBytes(out, entry.bytes);
}

std::optional<std::vector<MessageFileEntry>> ReadMessageFile(std::span<const std::uint8_t> file) {
    if (file.size() < kMessageFileHeaderBytes ||
        !std::equal(std::begin(kMessageFileMagic), std::end(kMessageFileMagic), file.begin()) ||
        ReadU16(file, 4) != kMessageFileVersion) {
        return std::nullopt;
    }
    const std::uint32_t count = ReadU32(file, 8);
    auto rest = file.subspan(kMessageFileHeaderBytes);
    // Every record takes at least its fixed fields, so a count the bytes cannot hold is false.
    if (count > rest.size() / kMessageFileRecordBytes) {
        return std::nullopt;
    }
    std::vector<MessageFileEntry> entries;
    entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (rest.size() < kMessageFileRecordBytes) {
            return std::nullopt;
        }
        MessageFileEntry entry{ReadU32(rest, 2), rest[6], ReadU32(rest, 7), {}, ReadU16(rest, 0)};
        const std::uint32_t length = ReadU32(rest, 11);
        rest = rest.subspan(kMessageFileRecordBytes);
        if (rest.size() < length) {
            return std::nullopt;
        }
        entry.bytes = rest.first(length);
        rest = rest.subspan(length);
        entries.push_back(entry);
    }
    if (!rest.empty()) {
        return std::nullopt;
    }
    return entries;
}

}  // namespace broadcast
