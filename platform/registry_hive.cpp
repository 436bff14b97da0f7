#include "platform/registry_hive.h"

#include <charconv>
#include <iterator>

namespace platform {
namespace {

constexpr std::string_view kHeader = "dmbtpeg-hive 1";
constexpr char16_t kSeparator = u'\\';

bool HasPrefixNoCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::u16string ChildPrefix(std::u16string_view path) {
    std::u16string prefix(path);
    if (!prefix.empty()) {
        prefix += kSeparator;
    }
    return prefix;
}

void AppendQuoted(std::string& out, std::u16string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '"';
    for (char c : ToUtf8(text)) {
        auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    out += "\\x";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xF];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Reads the fields of one line, left to right, recording the first problem.
class LineReader {
  public:
    explicit LineReader(std::string_view line) : m_rest(line) {}

    const std::string& Error() const { return m_error; }
    bool AtEnd() const { return m_rest.empty(); }

    bool Space() {
        if (m_rest.empty() || m_rest.front() != ' ') {
            return Fail("expected a space");
        }
        m_rest.remove_prefix(1);
        return true;
    }

    bool Word(std::string_view& word) {
        std::size_t end = m_rest.find(' ');
        word = m_rest.substr(0, end);
        m_rest.remove_prefix(word.size());
        return !word.empty() || Fail("expected a word");
    }

    bool Quoted(std::u16string& text) {
        if (m_rest.empty() || m_rest.front() != '"') {
            return Fail("expected a quoted string");
        }
        std::string bytes;
        std::size_t i = 1;
        for (;;) {
            if (i >= m_rest.size()) {
                return Fail("unterminated string");
            }
            char c = m_rest[i++];
            auto byte = static_cast<unsigned char>(c);
            if (c == '"') {
                break;
            }
            if (byte < 0x20 || byte == 0x7F) {
                return Fail("control character in a string");
            }
            if (c != '\\') {
                bytes += c;
                continue;
            }
            if (i >= m_rest.size()) {
                return Fail("unterminated string");
            }
            char escape = m_rest[i++];
            switch (escape) {
                case '\\':
                case '"':
                    bytes += escape;
                    break;
                case 'n':
                    bytes += '\n';
                    break;
                case 'r':
                    bytes += '\r';
                    break;
                case 't':
                    bytes += '\t';
                    break;
                case 'x': {
                    int high = i < m_rest.size() ? HexDigit(m_rest[i]) : -1;
                    int low = i + 1 < m_rest.size() ? HexDigit(m_rest[i + 1]) : -1;
                    if (high < 0 || low < 0) {
                        return Fail("bad \\x escape");
                    }
                    int value = high * 16 + low;
                    if (value == 0 || value >= 0x80) {
                        return Fail("\\x escape out of range");
                    }
                    bytes += static_cast<char>(value);
                    i += 2;
                    break;
                }
                default:
                    return Fail("unknown escape");
            }
        }
        m_rest.remove_prefix(i);
        text = FromUtf8(bytes);
        // Decoding replaces bad sequences; only valid UTF-8 comes back unchanged.
        if (ToUtf8(text) != bytes) {
            return Fail("invalid UTF-8 in a string");
        }
        return true;
    }

    bool Number(DWORD& value) {
        std::string_view digits;
        if (!Word(digits)) {
            return false;
        }
        const char* end = digits.data() + digits.size();
        auto [ptr, ec] = std::from_chars(digits.data(), end, value);
        if (ec != std::errc() || ptr != end) {
            return Fail("bad number");
        }
        return true;
    }

    bool Fail(std::string message) {
        if (m_error.empty()) {
            m_error = std::move(message);
        }
        return false;
    }

  private:
    std::string_view m_rest;
    std::string m_error;
};

std::u16string_view ParentOf(std::u16string_view path) {
    auto slash = path.rfind(kSeparator);
    return slash == std::u16string_view::npos ? std::u16string_view() : path.substr(0, slash);
}

}  // namespace

HiveValue* HiveKey::FindValue(std::u16string_view name) {
    for (auto& value : values) {
        if (EqualsNoCase(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

const HiveValue* HiveKey::FindValue(std::u16string_view name) const {
    return const_cast<HiveKey*>(this)->FindValue(name);
}

Hive::Hive() {
    m_keys.emplace(std::u16string(), HiveKey{});
}

HiveKey* Hive::Find(std::u16string_view path) {
    auto it = m_keys.find(path);
    return it == m_keys.end() ? nullptr : &it->second;
}

const HiveKey* Hive::Find(std::u16string_view path) const {
    return const_cast<Hive*>(this)->Find(path);
}

bool Hive::Create(std::u16string_view path) {
    auto parts = SplitKeyPath(path);
    if (!parts) {
        return false;
    }
    std::u16string current;
    bool created = false;
    for (const auto& part : *parts) {
        std::u16string candidate = ChildPrefix(current) + part;
        auto it = m_keys.find(candidate);
        created = it == m_keys.end();
        if (created) {
            it = m_keys.emplace(std::move(candidate), HiveKey{}).first;
        }
        current = it->first;
    }
    return created;
}

void Hive::Empty(std::u16string_view path) {
    auto self = m_keys.find(path);
    if (self == m_keys.end()) {
        return;
    }
    self->second.values.clear();
    std::u16string prefix = ChildPrefix(self->first);
    // Descendants are contiguous in the map's order, starting at the prefix;
    // for the root that range holds the root itself too.
    auto it = m_keys.lower_bound(prefix);
    while (it != m_keys.end() && HasPrefixNoCase(it->first, prefix)) {
        it = it->first.empty() ? std::next(it) : m_keys.erase(it);
    }
}

void Hive::DeleteTree(std::u16string_view path) {
    Empty(path);
    if (!path.empty()) {
        m_keys.erase(std::u16string(path));
    }
}

std::optional<std::vector<std::u16string>> SplitKeyPath(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(kSeparator, start);
        if (end == std::u16string_view::npos) {
            end = path.size();
        }
        std::u16string_view part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty()) {
            continue;
        }
        if (part.size() > kMaxKeyNameLength || part.find(u'\0') != std::u16string_view::npos ||
            parts.size() == kMaxKeyDepth) {
            return std::nullopt;
        }
        parts.emplace_back(part);
    }
    return parts;
}

HiveParseResult ParseHive(std::string_view text) {
    HiveParseResult result;
    Hive hive;
    std::u16string current;
    bool ended = false;
    std::size_t lineNumber = 0;
    auto fail = [&](std::string message) {
        result.error = std::move(message);
        result.line = lineNumber;
        return result;
    };

    while (!text.empty()) {
        ++lineNumber;
        std::size_t newline = text.find('\n');
        if (newline == std::string_view::npos) {
            return fail("last line not terminated");
        }
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline + 1);
        if (ended) {
            return fail("text after the end line");
        }
        if (lineNumber == 1) {
            if (line != kHeader) {
                return fail("not a hive file");
            }
            continue;
        }
        LineReader reader(line);
        std::string_view kind;
        if (!reader.Word(kind)) {
            return fail(reader.Error());
        }
        if (kind == "end") {
            ended = true;
        } else if (kind == "key") {
            std::u16string path;
            if (!reader.Space() || !reader.Quoted(path)) {
                return fail(reader.Error());
            }
            auto parts = SplitKeyPath(path);
            if (!parts || parts->empty() || path.front() == kSeparator ||
                path.back() == kSeparator || path.find(u"\\\\") != std::u16string::npos) {
                return fail("bad key path");
            }
            if (!hive.Find(ParentOf(path))) {
                return fail("key before its parent");
            }
            if (hive.Find(path)) {
                return fail("key declared twice");
            }
            hive.Create(path);
            current = std::move(path);
        } else if (kind == "dword" || kind == "sz") {
            HiveValue value;
            if (!reader.Space() || !reader.Quoted(value.name) || !reader.Space()) {
                return fail(reader.Error());
            }
            bool ok = kind == "dword" ? reader.Number(value.number) : reader.Quoted(value.text);
            if (!ok) {
                return fail(reader.Error());
            }
            value.type = kind == "dword" ? kHiveValueDword : kHiveValueString;
            HiveKey* key = hive.Find(current);
            if (key->FindValue(value.name)) {
                return fail("value set twice");
            }
            key->values.push_back(std::move(value));
        } else {
            return fail("unknown line");
        }
        if (!reader.AtEnd()) {
            return fail("unexpected text at the end of the line");
        }
    }
    if (lineNumber == 0) {
        lineNumber = 1;
        return fail("empty file");
    }
    if (!ended) {
        ++lineNumber;
        return fail("end line missing");
    }
    result.hive = std::move(hive);
    return result;
}

std::string SerializeHive(const Hive& hive) {
    std::string out(kHeader);
    out += '\n';
    for (const auto& [path, key] : hive.AllKeys()) {
        if (!path.empty()) {
            out += "key ";
            AppendQuoted(out, path);
            out += '\n';
        }
        for (const auto& value : key.values) {
            if (value.type == kHiveValueDword) {
                out += "dword ";
                AppendQuoted(out, value.name);
                out += ' ';
                out += std::to_string(value.number);
            } else {
                out += "sz ";
                AppendQuoted(out, value.name);
                out += ' ';
                AppendQuoted(out, value.text);
            }
            out += '\n';
        }
    }
    out += "end\n";
    return out;
}

}  // namespace platform
