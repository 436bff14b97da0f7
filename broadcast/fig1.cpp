#include <algorithm>

#include "broadcast/bytes.h"
#include "broadcast/fig.h"

namespace broadcast {
namespace {

constexpr unsigned kCharsetEbuLatin = 0;

std::string_view TrimLabel(std::span<const std::uint8_t> bytes) {
    std::string_view label(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) {
        label.remove_suffix(1);
    }
    return label;
}

// The label padded with spaces to 16 bytes, then the character flag field marking the first
// eight characters as the short label.
void AppendLabel(std::string_view label, Fig& fig) {
    const std::size_t size = std::min(label.size(), kLabelSize);
    fig.insert(fig.end(), label.begin(), label.begin() + static_cast<std::ptrdiff_t>(size));
    fig.insert(fig.end(), kLabelSize - size, ' ');
    AppendU16(fig, 0xFF00);
}

Fig StartFig1(unsigned extension) {
    return {0, static_cast<std::uint8_t>((kCharsetEbuLatin << 4) | (extension & 7))};
}

Fig FinishFig1(Fig fig) {
    fig[0] = static_cast<std::uint8_t>((1 << 5) | (fig.size() - 1));
    return fig;
}

}  // namespace

FigError ParseFig1(std::span<const std::uint8_t> figData, FigSink& sink) {
    if (figData.empty()) {
        return FigError::TooShort;
    }
    const unsigned extension = figData[0] & 7;
    const std::span<const std::uint8_t> d = figData.subspan(1);
    const std::size_t idSize = extension == 5 ? 4 : 2;
    if (extension != 0 && extension != 1 && extension != 5) {
        return FigError::Unsupported;
    }
    if (d.size() < idSize + kLabelSize) {
        return FigError::TooShort;
    }
    const std::string_view label = TrimLabel(d.subspan(idSize, kLabelSize));
    if (extension == 0) {
        sink.OnEnsembleLabel(ReadU16(d, 0), label);
    } else {
        sink.OnServiceLabel(extension == 5 ? ReadU32(d, 0) : ReadU16(d, 0), label);
    }
    return FigError::None;
}

Fig EncodeFig1_0(std::uint16_t eid, std::string_view label) {
    Fig fig = StartFig1(0);
    AppendU16(fig, eid);
    AppendLabel(label, fig);
    return FinishFig1(std::move(fig));
}

Fig EncodeFig1_1(std::uint16_t sid, std::string_view label) {
    Fig fig = StartFig1(1);
    AppendU16(fig, sid);
    AppendLabel(label, fig);
    return FinishFig1(std::move(fig));
}

Fig EncodeFig1_5(std::uint32_t sid, std::string_view label) {
    Fig fig = StartFig1(5);
    AppendU32(fig, sid);
    AppendLabel(label, fig);
    return FinishFig1(std::move(fig));
}

}  // namespace broadcast
