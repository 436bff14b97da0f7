#include "platform/text.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/kernel.h"

namespace platform {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

std::string CodePageName(UINT codePage) {
    switch (codePage) {
        case CP_ACP:
            return DefaultCodePageName();
        case CP_UTF8:
            return "UTF-8";
        default:
            return "CP" + std::to_string(codePage);
    }
}

// iconv descriptors carry conversion state, so each thread gets its own.
class Converter {
  public:
    Converter(const std::string& to, const std::string& from)
        : m_cd(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter() {
        if (Valid()) {
            iconv_close(m_cd);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool Valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return m_cd; }
    void Reset() { iconv(m_cd, nullptr, nullptr, nullptr, nullptr); }

  private:
    iconv_t m_cd;
};

Converter& ConverterFor(const std::string& to, const std::string& from) {
    thread_local std::unordered_map<std::string, std::unique_ptr<Converter>> converters;
    auto& slot = converters[to + '\0' + from];
    if (!slot) {
        slot = std::make_unique<Converter>(to, from);
        if (!slot->Valid()) {
            // An unknown code page falls back to Latin-1, which maps every byte.
            slot = std::make_unique<Converter>(to, "ISO-8859-1");
        }
    }
    slot->Reset();
    return *slot;
}

// Runs iconv step by step, never giving it more room than the destination has
// left, so a full destination always ends on a character boundary. `onInvalid`
// handles a sequence iconv rejects: it writes the replacement (returns false
// when that does not fit) and skips the input it stands for.
template <typename Unit, typename OnInvalid>
std::size_t Convert(Converter& conv, std::string_view input, std::span<Unit> out,
                    OnInvalid onInvalid) {
    char* in = const_cast<char*>(input.data());
    std::size_t inLeft = input.size();
    std::size_t written = 0;
    SetLastError(ERROR_SUCCESS);
    while (inLeft > 0) {
        char scratch[16];
        char* outPtr = scratch;
        std::size_t room = std::min(sizeof scratch, (out.size() - written) * sizeof(Unit));
        std::size_t outLeft = room;
        std::size_t r = iconv(conv.Get(), &in, &inLeft, &outPtr, &outLeft);
        int error = errno;
        std::size_t produced = (room - outLeft) / sizeof(Unit);
        for (std::size_t i = 0; i < produced; ++i) {
            Unit u{};
            std::memcpy(&u, scratch + i * sizeof(Unit), sizeof(Unit));
            out[written++] = u;
        }
        if (r != static_cast<std::size_t>(-1)) {
            continue;
        }
        if (error == E2BIG) {
            if (produced == 0) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return written;
            }
            continue;
        }
        if (written >= out.size()) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return written;
        }
        std::size_t skip = onInvalid(out[written++], std::string_view(in, inLeft));
        in += skip;
        inLeft -= skip;
        conv.Reset();
    }
    return written;
}

}  // namespace

const std::string& DefaultCodePageName() {
    static const std::string name = [] {
        const char* env = std::getenv("DMBTPEG_CODEPAGE");
        return std::string(env && *env ? env : "CP949");
    }();
    return name;
}

std::size_t MultiByteToWide(UINT codePage, std::string_view bytes, std::span<WCHAR> out) {
    // Output is little-endian UTF-16; this host is little-endian like the target.
    static_assert(std::endian::native == std::endian::little);
    Converter& conv = ConverterFor("UTF-16LE", CodePageName(codePage));
    return Convert(conv, bytes, out, [](WCHAR& slot, std::string_view) {
        slot = kReplacement;
        return std::size_t{1};
    });
}

std::u16string ToWide(std::string_view bytes, UINT codePage) {
    // Every input byte yields at most one UTF-16 unit (or a surrogate pair for
    // four bytes of UTF-8), so the input size bounds the output.
    std::u16string result(bytes.size(), u'\0');
    result.resize(MultiByteToWide(codePage, bytes, result));
    return result;
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string FromUtf8(std::string_view text) {
    return ToWide(text, CP_UTF8);
}

std::size_t WideLength(const WCHAR* text) {
    if (text == nullptr) {
        return 0;
    }
    return std::char_traits<char16_t>::length(text);
}

namespace {
char16_t FoldCase(char16_t c) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
        return static_cast<char16_t>(c + 0x20);
    }
    return c;
}
}  // namespace

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        char16_t x = FoldCase(a[i]);
        char16_t y = FoldCase(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace platform
