// Wide text and code-page conversion.
//
// Wide text is UTF-16. The device's default multibyte code page is CP949
// unless DMBTPEG_CODEPAGE names another iconv encoding. Conversions never
// write past the destination and never fail on bad input: an invalid or
// incomplete byte sequence becomes U+FFFD and decoding resumes at the next
// byte, as the platform's multibyte-to-wide conversion does without
// MB_ERR_INVALID_CHARS.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

inline constexpr UINT CP_ACP = 0;
inline constexpr UINT CP_UTF8 = 65001;

// The iconv name of the device's default code page ("CP949" unless overridden).
const std::string& DefaultCodePageName();

// Converts `bytes` from the code page into `out`. Returns the number of UTF-16
// units written; when `out` is too small the result is cut at a character
// boundary and last error is ERROR_INSUFFICIENT_BUFFER. No terminator is added.
std::size_t MultiByteToWide(UINT codePage, std::string_view bytes, std::span<WCHAR> out);

std::u16string ToWide(std::string_view bytes, UINT codePage = CP_ACP);
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// Length of a NUL-terminated wide string, like wcslen; 0 for null.
std::size_t WideLength(const WCHAR* text);

// Compares ignoring letter case, as the platform's case-insensitive compare
// does for the names this system handles (ASCII and Latin-1 letters fold;
// other characters compare exactly). Returns <0, 0 or >0.
int CompareNoCase(std::u16string_view a, std::u16string_view b);
inline bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
    return CompareNoCase(a, b) == 0;
}

}  // namespace platform
