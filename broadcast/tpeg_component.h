#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace broadcast {

// TPEG2 application components inside component frames: an 8-bit id, a length (IntUnLoMB: 7
// bits per byte, most significant first, bit 7 set on every byte but the last) counting the
// bytes after it, then the component's attribute block length and content.
struct UintLoMB {
    std::uint32_t value = 0;
    std::size_t size = 0;  // bytes used
};

// Decodes at the start of bytes; nothing when truncated or longer than 4 bytes.
std::optional<UintLoMB> ReadUintLoMB(std::span<const std::uint8_t> bytes);
void AppendUintLoMB(std::uint32_t value, std::vector<std::uint8_t>& out);

struct TpegComponentView {
    std::uint8_t id = 0;
    std::span<const std::uint8_t> body;  // the bytes the length counts
    std::size_t size = 0;                // id, length and body
};

// The component at the start of bytes, or nothing when it does not fit.
std::optional<TpegComponentView> ReadTpegComponent(std::span<const std::uint8_t> bytes);

// Number of components that exactly fill bytes, or nothing when the last one overruns.
std::optional<std::size_t> CountTpegComponents(std::span<const std::uint8_t> bytes);

}  // namespace broadcast
