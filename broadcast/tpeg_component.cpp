#include "broadcast/tpeg_component.h"

#include <array>

namespace broadcast {

std::optional<UintLoMB> ReadUintLoMB(std::span<const std::uint8_t> bytes) {
    UintLoMB result;
    for (std::size_t i = 0; i < bytes.size() && i < 4; ++i) {
        result.value = (result.value << 7) | (bytes[i] & 0x7F);
        if ((bytes[i] & 0x80) == 0) {
            result.size = i + 1;
            return result;
        }
    }
    return std::nullopt;
}

void AppendUintLoMB(std::uint32_t value, std::vector<std::uint8_t>& out) {
    std::array<std::uint8_t, 5> groups{};
    std::size_t n = 0;
    do {
        groups[n++] = value & 0x7F;
        value >>= 7;
    } while (value != 0);
    while (n > 0) {
        --n;
        out.push_back(static_cast<std::uint8_t>(groups[n] | (n > 0 ? 0x80 : 0)));
    }
}

std::optional<TpegComponentView> ReadTpegComponent(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return std::nullopt;
    }
    const auto length = ReadUintLoMB(bytes.subspan(1));
    if (!length || bytes.size() - 1 - length->size < length->value) {
        return std::nullopt;
    }
    TpegComponentView view;
    view.id = bytes[0];
    view.body = bytes.subspan(1 + length->size, length->value);
    view.size = 1 + length->size + length->value;
    return view;
}

std::optional<std::size_t> CountTpegComponents(std::span<const std::uint8_t> bytes) {
    std::size_t count = 0;
    while (!bytes.empty()) {
        const auto component = ReadTpegComponent(bytes);
        if (!component) {
            return std::nullopt;
        }
        bytes = bytes.subspan(component->size);
        ++count;
    }
    return count;
}

}  // namespace broadcast
