// printf-style formatting of the service's wide log lines.
//
// The service formats its lines into fixed buffers of 128 wide characters; a
// longer result is cut to 127 units plus the terminator, never overflowing.
// Wide string arguments (%s) may be given as const WCHAR*, std::u16string_view
// or std::u16string; narrow strings are taken as UTF-8.
#pragma once

#include <fmt/printf.h>

#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/log.h"
#include "platform/text.h"
#include "platform/types.h"

namespace platform {

inline constexpr std::size_t kFormatBufferUnits = 128;

namespace detail {

inline std::string FormatArg(const WCHAR* text) {
    return text ? ToUtf8(text) : std::string("(null)");
}
inline std::string FormatArg(WCHAR* text) {
    return FormatArg(static_cast<const WCHAR*>(text));
}
inline std::string FormatArg(std::u16string_view text) {
    return ToUtf8(text);
}
inline std::string FormatArg(const std::u16string& text) {
    return ToUtf8(text);
}
template <typename T>
requires(!std::is_same_v<std::decay_t<T>, const WCHAR*> &&
         !std::is_same_v<std::decay_t<T>, WCHAR*>) const T& FormatArg(const T& value) {
    return value;
}

std::size_t VFormatWide(std::span<WCHAR> out, std::u16string_view format, fmt::printf_args args);

}  // namespace detail

// Formats into `out` (terminated; cut to out.size() - 1 units) and returns the
// number of units written before the terminator. A malformed format string
// yields the format string itself rather than an exception.
template <typename... Args>
std::size_t FormatWide(std::span<WCHAR> out, std::u16string_view format, const Args&... args) {
    return detail::VFormatWide(out, format, fmt::make_printf_args(detail::FormatArg(args)...));
}

// Formats into a 128-unit buffer and writes it to the debug output.
template <typename... Args>
void DebugPrintf(std::u16string_view format, const Args&... args) {
    WCHAR buffer[kFormatBufferUnits];
    std::size_t n = FormatWide(buffer, format, args...);
    DebugOutput(std::u16string_view(buffer, n));
}

// Formats a narrow console line (no line end added).
template <typename... Args>
void ConsolePrintf(std::string_view format, const Args&... args) {
    std::string text;
    try {
        text = fmt::sprintf(format, args...);
    } catch (const fmt::format_error&) {
        text = std::string(format);
    }
    ConsolePrint(text);
}

}  // namespace platform
