#include "platform/format.h"

namespace platform::detail {

std::size_t VFormatWide(std::span<WCHAR> out, std::u16string_view format, fmt::printf_args args) {
    if (out.empty()) {
        return 0;
    }
    std::string utf8Format = ToUtf8(format);
    std::string text;
    try {
        text = fmt::vsprintf(fmt::string_view(utf8Format), args);
    } catch (const fmt::format_error&) {
        text = std::move(utf8Format);
    }
    std::size_t n = MultiByteToWide(CP_UTF8, text, out.first(out.size() - 1));
    // Never leave half of a surrogate pair at the cut.
    if (n == out.size() - 1 && n > 0 && out[n - 1] >= 0xD800 && out[n - 1] <= 0xDBFF) {
        --n;
    }
    out[n] = u'\0';
    return n;
}

}  // namespace platform::detail
