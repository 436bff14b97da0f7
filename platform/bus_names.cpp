#include "platform/bus_names.h"

#include <charconv>
#include <cstdint>

#include "platform/text.h"
#include "platform/window_messages.h"

namespace platform {
namespace {

constexpr std::string_view kPrefix = kBusNamePrefix;
constexpr std::size_t kMaxBusNameLength = 255;
constexpr std::string_view kWindowPathPrefix = "/org/dmbtpeg/windows/w";
constexpr std::string_view kTitlesPrefix = kTitlesPath;
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsAsciiAlnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::uint64_t Fnv1a64(std::string_view bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) {
        hash = (hash ^ c) * 0x100000001b3ull;
    }
    return hash;
}

void AppendEscaped(std::string_view utf8, std::string* out) {
    bool first = true;
    for (unsigned char c : utf8) {
        // A bus name element must not start with a digit, so a leading digit
        // is escaped as well; object paths follow the same rule so that one
        // rule serves both.
        if (IsAsciiAlnum(c) && !(first && c >= '0' && c <= '9')) {
            *out += static_cast<char>(c);
        } else {
            *out += '_';
            *out += kHexDigits[c >> 4];
            *out += kHexDigits[c & 0xF];
        }
        first = false;
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::optional<std::string> Unescape(std::string_view escaped) {
    std::string bytes;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '_') {
            bytes += escaped[i];
            continue;
        }
        if (i + 2 >= escaped.size()) {
            return std::nullopt;
        }
        int high = HexValue(escaped[i + 1]);
        int low = HexValue(escaped[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return bytes;
}

}  // namespace

std::string BusNameForTitle(std::u16string_view title) {
    std::string utf8 = ToUtf8(title);
    std::string name(kPrefix);
    AppendEscaped(utf8, &name);
    if (name.size() == kPrefix.size() || name.size() > kMaxBusNameLength) {
        std::uint64_t hash = Fnv1a64(utf8);
        name = std::string(kPrefix) + "H";
        for (int shift = 60; shift >= 0; shift -= 4) {
            name += kHexDigits[(hash >> shift) & 0xF];
        }
    }
    return name;
}

std::string WindowObjectPath(HWND local) {
    char digits[2 * sizeof(std::uintptr_t)];
    auto value = reinterpret_cast<std::uintptr_t>(local);
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, 16);
    return std::string(kWindowPathPrefix) + std::string(digits, end);
}

std::optional<HWND> ParseWindowObjectPath(std::string_view path) {
    if (!path.starts_with(kWindowPathPrefix)) {
        return std::nullopt;
    }
    std::string_view digits = path.substr(kWindowPathPrefix.size());
    // Canonical form only: one path per window, so no leading zeros or
    // upper-case digits that from_chars would accept.
    if (digits.empty() || digits.size() > 2 * sizeof(std::uintptr_t) || digits[0] == '0') {
        return std::nullopt;
    }
    for (char c : digits) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return std::nullopt;
        }
    }
    std::uintptr_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (ec != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return reinterpret_cast<HWND>(value);
}

std::string TitleObjectPath(std::u16string_view title, std::u16string_view className) {
    std::string path(kTitlesPrefix);
    path += '/';
    AppendEscaped(ToUtf8(title), &path);
    if (!className.empty()) {
        path += '/';
        AppendEscaped(ToUtf8(className), &path);
    }
    return path;
}

std::optional<TitleObject> ParseTitleObjectPath(std::string_view path) {
    if (!path.starts_with(kTitlesPrefix) || path.size() <= kTitlesPrefix.size() + 1 ||
        path[kTitlesPrefix.size()] != '/') {
        return std::nullopt;
    }
    std::string_view rest = path.substr(kTitlesPrefix.size() + 1);
    std::size_t slash = rest.find('/');
    auto title = Unescape(rest.substr(0, slash));
    std::optional<std::string> className =
        slash == std::string_view::npos ? std::string() : Unescape(rest.substr(slash + 1));
    if (!title || !className || title->empty()) {
        return std::nullopt;
    }
    TitleObject object{FromUtf8(*title), FromUtf8(*className)};
    // Canonical only, so that one window has one path: escaping the decoded
    // names again must give the path back (this also refuses lower-case
    // hex, needless escapes, invalid UTF-8 and further elements).
    if (object.title.empty() || TitleObjectPath(object.title, object.className) != path) {
        return std::nullopt;
    }
    return object;
}

UINT RegisteredMessageNumber(std::u16string_view name) {
    std::uint32_t hash = 0x811c9dc5u;
    for (char16_t unit : name) {
        if (unit >= u'a' && unit <= u'z') {
            unit = static_cast<char16_t>(unit - u'a' + u'A');
        }
        hash = (hash ^ (unit & 0xFFu)) * 0x01000193u;
        hash = (hash ^ (unit >> 8)) * 0x01000193u;
    }
    // xor-folding keeps the high bits' mixing in the 14 bits we keep.
    std::uint32_t folded = (hash ^ (hash >> 14) ^ (hash >> 28)) & 0x3FFFu;
    return kFirstRegisteredMessage + folded;
}

bool MayCrossProcesses(UINT message) {
    switch (message) {
        case WM_NULL:
        case WM_CLOSE:
        case WM_QUIT:
        case WM_COMMAND:
            return true;
        default:
            return message >= WM_USER && message <= kLastRegisteredMessage;
    }
}

}  // namespace platform
