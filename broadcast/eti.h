#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace broadcast {

// ETI-NI frames: 6144 bytes every 24 ms. SYNC (ERR, FSYNC alternating between frames), FC,
// one STC per stream, EOH (MNSC, header CRC), MST (FIC, then each stream's STL × 8 bytes), EOF
// (MST CRC), TIST, then 0x55 padding.
inline constexpr std::size_t kEtiFrameSize = 6144;
inline constexpr std::uint32_t kEtiFsyncEven = 0x073AB6;
inline constexpr std::uint32_t kEtiFsyncOdd = 0xF8C549;
inline constexpr std::size_t kEtiMaxStreams = 64;
inline constexpr std::uint32_t kEtiNoTimestamp = 0xFFFFFF;

struct EtiStream {
    std::uint8_t subChannelId = 0;
    std::uint16_t startAddress = 0;
    std::uint8_t protection = 0;         // TPL
    std::span<const std::uint8_t> data;  // STL × 8 bytes
};

// TPL of a sub-channel: UEP 0b01 0LLL (level - 1), EEP 0b1 OO LL (option, level - 1).
std::uint8_t EtiProtection(bool uep, std::uint8_t option, std::uint8_t protectionLevel);

struct EtiFrameContent {
    std::uint32_t frameNumber = 0;      // sets FCT (mod 250) and which FSYNC is used
    std::uint8_t mode = 1;              // transmission mode 1..4
    std::span<const std::uint8_t> fic;  // 96 bytes (128 in mode III), or empty for none
    std::span<const EtiStream> streams;
    std::uint16_t mnsc = 0;
};

enum class EtiError {
    None,
    TooShort,  // fewer bytes than the frame announces
    BadSync,   // FSYNC is neither sync word
    BadHeaderCrc,
    BadLength,       // FL, stream lengths or FIC size do not fit the frame or each other
    BadFrameCrc,     // EOF CRC over the MST
    SignalError,     // ERR byte reports an error
    TooManyStreams,  // more than the frame can describe (writing)
};

const char* ToString(EtiError error);

// Writes one frame into out (kEtiFrameSize bytes).
EtiError WriteEtiFrame(const EtiFrameContent& content, std::span<std::uint8_t> out);

struct EtiStreamView {
    std::uint8_t subChannelId = 0;
    std::uint16_t startAddress = 0;
    std::uint8_t protection = 0;
    std::uint16_t lengthWords = 0;  // STL, 64-bit words
    std::span<const std::uint8_t> data;
};

struct EtiFrameView {
    std::uint8_t err = 0xFF;
    bool oddSync = false;
    std::uint8_t frameCount = 0;  // FCT
    std::uint8_t mode = 1;
    std::uint8_t phase = 0;
    std::span<const std::uint8_t> fic;  // empty when FICF is clear
    std::array<EtiStreamView, kEtiMaxStreams> streams{};
    std::size_t streamCount = 0;
    std::uint16_t mnsc = 0;
    std::uint32_t timestamp = kEtiNoTimestamp;
    std::size_t size = 0;  // bytes used by the frame before padding

    // The stream of a sub-channel id, or nullptr.
    const EtiStreamView* FindStream(std::uint8_t subChannelId) const;
};

struct EtiFrameResult {
    EtiError error = EtiError::None;
    EtiFrameView frame;  // views point into the input
};

// Checks and parses one frame; frame may be a full 6144-byte frame or a frame without its
// padding. Reads nothing outside frame.
EtiFrameResult ParseEtiFrame(std::span<const std::uint8_t> frame);

}  // namespace broadcast
