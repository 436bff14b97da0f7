#include "broadcast/sni.h"

#include "broadcast/bytes.h"

namespace broadcast {
namespace {

constexpr std::size_t kFastTuningEntrySize = 5;

bool ReadShortString(std::span<const std::uint8_t>& bytes, std::string& out) {
    if (bytes.empty() || bytes.size() - 1 < bytes[0]) {
        return false;
    }
    out.assign(bytes.begin() + 1, bytes.begin() + 1 + bytes[0]);
    bytes = bytes.subspan(1 + bytes[0]);
    return true;
}

void AppendShortString(const std::string& text, std::vector<std::uint8_t>& out) {
    const std::size_t size = text.size() > 255 ? 255 : text.size();
    AppendU8(out, static_cast<unsigned>(size));
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size));
}

}  // namespace

bool SniTable::FindAid(std::uint8_t scid, std::uint16_t& aid) const {
    if (scid == kSniScid) {
        aid = kSniAid;
        return true;
    }
    for (const SniFastTuningEntry& entry : entries) {
        if (entry.scid == scid) {
            aid = entry.aid;
            return true;
        }
    }
    return false;
}

const char* ToString(SniError error) {
    switch (error) {
        case SniError::None:
            return "none";
        case SniError::TooShort:
            return "SNI component truncated";
        case SniError::CountMismatch:
            return "SNI component count mismatch";
        case SniError::BadFastTuning:
            return "fast-tuning table malformed";
    }
    return "unknown";
}

SniError ParseSni(std::span<const std::uint8_t> data, SniTable& out) {
    out = SniTable{};
    if (data.empty()) {
        return SniError::TooShort;
    }
    const std::size_t announced = data[0];
    data = data.subspan(1);
    while (!data.empty()) {
        if (data.size() < 3 || data.size() - 3 < ReadU16(data, 1)) {
            return SniError::TooShort;
        }
        const std::uint8_t id = data[0];
        std::span<const std::uint8_t> body = data.subspan(3, ReadU16(data, 1));
        data = data.subspan(3 + body.size());
        ++out.components;
        if (id == kSniFastTuningId) {
            if (body.size() < 2 || (body.size() - 2) % kFastTuningEntrySize != 0) {
                return SniError::BadFastTuning;
            }
            out.version = body[0];
            out.characterTable = body[1];
            for (std::size_t at = 2; at < body.size(); at += kFastTuningEntrySize) {
                out.entries.push_back(
                    {body[at], body[at + 1], body[at + 2], ReadU16(body, at + 3)});
            }
        } else if (id == kSniServiceNameId) {
            if (!ReadShortString(body, out.serviceName) ||
                !ReadShortString(body, out.serviceDescription)) {
                return SniError::TooShort;
            }
        }
    }
    return out.components == announced ? SniError::None : SniError::CountMismatch;
}

void AppendSni(const SniTable& table, std::vector<std::uint8_t>& out) {
    const bool withName = !table.serviceName.empty();
    AppendU8(out, withName ? 2 : 1);
    AppendU8(out, kSniFastTuningId);
    AppendU16(out, static_cast<unsigned>(2 + kFastTuningEntrySize * table.entries.size()));
    AppendU8(out, table.version);
    AppendU8(out, table.characterTable);
    for (const SniFastTuningEntry& entry : table.entries) {
        AppendU8(out, entry.scid);
        AppendU8(out, entry.flags);
        AppendU8(out, entry.contentId);
        AppendU16(out, entry.aid);
    }
    if (withName) {
        std::vector<std::uint8_t> body;
        AppendShortString(table.serviceName, body);
        AppendShortString(table.serviceDescription, body);
        AppendU8(out, kSniServiceNameId);
        AppendU16(out, static_cast<unsigned>(body.size()));
        AppendBytes(out, body);
    }
}

}  // namespace broadcast
