// GUIDs: class and interface identifiers.
//
// The layout is the platform's 16-byte GUID (a 32-bit, two 16-bit and eight
// 8-bit fields, in that order, no padding), so identifiers written as
// {Data1, Data2, Data3, {Data4...}} mean what they mean everywhere else. The
// string form is {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}; it is printed in upper
// case and parsed in either case.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
static_assert(sizeof(GUID) == 16);

using CLSID = GUID;
using IID = GUID;
using REFGUID = const GUID&;
using REFCLSID = const CLSID&;
using REFIID = const IID&;

constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}

inline constexpr GUID GUID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

namespace detail {

template <typename Char>
constexpr int HexDigit(Char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<int>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<int>(c - 'A' + 10);
    }
    return -1;
}

template <typename Char>
constexpr std::optional<GUID> ParseGuidText(std::basic_string_view<Char> text) {
    constexpr std::string_view kShape = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    if (text.size() != kShape.size()) {
        return std::nullopt;
    }
    BYTE bytes[16] = {};
    int nibble = 0;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        if (kShape[i] != 'X') {
            if (text[i] != static_cast<Char>(kShape[i])) {
                return std::nullopt;
            }
            continue;
        }
        int value = HexDigit(text[i]);
        if (value < 0) {
            return std::nullopt;
        }
        bytes[nibble / 2] = static_cast<BYTE>(bytes[nibble / 2] * 16 + value);
        ++nibble;
    }
    GUID guid{};
    guid.Data1 = (DWORD{bytes[0]} << 24) | (DWORD{bytes[1]} << 16) | (DWORD{bytes[2]} << 8) |
                 DWORD{bytes[3]};
    guid.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = bytes[8 + i];
    }
    return guid;
}

}  // namespace detail

// Parses the braced string form; nullopt for anything else (no surrounding
// blanks, braces required). Usable in constant expressions.
constexpr std::optional<GUID> ParseGuid(std::string_view text) {
    return detail::ParseGuidText(text);
}
constexpr std::optional<GUID> ParseGuid(std::u16string_view text) {
    return detail::ParseGuidText(text);
}

// The braced upper-case string form, 38 characters.
std::string GuidToString(REFGUID guid);
std::u16string GuidToWideString(REFGUID guid);

}  // namespace platform
