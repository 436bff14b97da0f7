#include "broadcast/eti.h"

#include <cstring>

#include "broadcast/bytes.h"
#include "broadcast/crc.h"

namespace broadcast {
namespace {

constexpr std::size_t kSyncSize = 4;
constexpr std::size_t kFcSize = 4;
constexpr std::size_t kStcSize = 4;
constexpr std::size_t kEohSize = 4;
constexpr std::size_t kEofSize = 4;
constexpr std::size_t kTistSize = 4;
constexpr std::uint8_t kPadding = 0x55;

// MID field values of modes I, II, III, IV.
constexpr std::uint8_t ModeId(std::uint8_t mode) {
    return mode == 4 ? 0 : mode & 3;
}
constexpr std::uint8_t ModeOfId(std::uint8_t mid) {
    return mid == 0 ? 4 : mid;
}
constexpr std::size_t FicBytes(std::uint8_t mode) {
    return mode == 3 ? 128 : 96;
}

void WriteU32(std::span<std::uint8_t> out, std::size_t at, std::uint32_t value) {
    WriteU16(out, at, static_cast<std::uint16_t>(value >> 16));
    WriteU16(out, at + 2, static_cast<std::uint16_t>(value));
}

}  // namespace

std::uint8_t EtiProtection(bool uep, std::uint8_t option, std::uint8_t protectionLevel) {
    const unsigned level = (protectionLevel - 1u) & 7u;
    if (uep) {
        return static_cast<std::uint8_t>(0x10 | level);
    }
    return static_cast<std::uint8_t>(0x20 | ((option & 3) << 2) | (level & 3));
}

const char* ToString(EtiError error) {
    switch (error) {
        case EtiError::None:
            return "none";
        case EtiError::TooShort:
            return "ETI frame truncated";
        case EtiError::BadSync:
            return "no ETI frame sync";
        case EtiError::BadHeaderCrc:
            return "ETI header CRC mismatch";
        case EtiError::BadLength:
            return "ETI lengths do not fit the frame";
        case EtiError::BadFrameCrc:
            return "ETI frame CRC mismatch";
        case EtiError::SignalError:
            return "ETI frame marked in error";
        case EtiError::TooManyStreams:
            return "too many ETI streams";
    }
    return "unknown";
}

EtiError WriteEtiFrame(const EtiFrameContent& content, std::span<std::uint8_t> out) {
    const std::size_t nst = content.streams.size();
    if (nst > kEtiMaxStreams) {
        return EtiError::TooManyStreams;
    }
    if (!content.fic.empty() && content.fic.size() != FicBytes(content.mode)) {
        return EtiError::BadLength;
    }
    std::size_t mstSize = content.fic.size();
    for (const EtiStream& stream : content.streams) {
        if (stream.data.size() % 8 != 0 || stream.data.size() / 8 > 0x3FF) {
            return EtiError::BadLength;
        }
        mstSize += stream.data.size();
    }
    const std::size_t headerSize = kSyncSize + kFcSize + kStcSize * nst + kEohSize;
    if (headerSize + mstSize + kEofSize + kTistSize > kEtiFrameSize || out.size() < kEtiFrameSize) {
        return EtiError::BadLength;
    }
    out[0] = 0xFF;
    const std::uint32_t fsync = (content.frameNumber & 1) ? kEtiFsyncOdd : kEtiFsyncEven;
    out[1] = static_cast<std::uint8_t>(fsync >> 16);
    WriteU16(out, 2, static_cast<std::uint16_t>(fsync));
    // FL counts the 32-bit words of STC, EOH and MST.
    const std::size_t fl = nst + 1 + mstSize / 4;
    out[4] = static_cast<std::uint8_t>(content.frameNumber % 250);
    out[5] = static_cast<std::uint8_t>((content.fic.empty() ? 0 : 0x80) | nst);
    const std::uint8_t phase = static_cast<std::uint8_t>(content.frameNumber % 8);
    WriteU16(
        out, 6,
        static_cast<std::uint16_t>((phase << 13) | (ModeId(content.mode) << 11) | (fl & 0x7FF)));
    std::size_t at = kSyncSize + kFcSize;
    for (const EtiStream& stream : content.streams) {
        const std::uint32_t stl = static_cast<std::uint32_t>(stream.data.size() / 8);
        WriteU32(out, at,
                 (std::uint32_t{stream.subChannelId & 0x3Fu} << 26) |
                     (std::uint32_t{stream.startAddress & 0x3FFu} << 16) |
                     (std::uint32_t{stream.protection & 0x3Fu} << 10) | stl);
        at += kStcSize;
    }
    WriteU16(out, at, content.mnsc);
    WriteU16(out, at + 2, Crc16(out.subspan(kSyncSize, at + 2 - kSyncSize)));
    at += kEohSize;
    const std::size_t mstStart = at;
    if (!content.fic.empty()) {
        std::memcpy(out.data() + at, content.fic.data(), content.fic.size());
        at += content.fic.size();
    }
    for (const EtiStream& stream : content.streams) {
        if (stream.data.empty()) {
            continue;
        }
        std::memcpy(out.data() + at, stream.data.data(), stream.data.size());
        at += stream.data.size();
    }
    WriteU16(out, at, Crc16(out.subspan(mstStart, at - mstStart)));
    WriteU16(out, at + 2, 0xFFFF);
    at += kEofSize;
    WriteU32(out, at, 0xFF000000u | kEtiNoTimestamp);
    at += kTistSize;
    std::memset(out.data() + at, kPadding, kEtiFrameSize - at);
    return EtiError::None;
}

const EtiStreamView* EtiFrameView::FindStream(std::uint8_t subChannelId) const {
    for (std::size_t i = 0; i < streamCount; ++i) {
        if (streams[i].subChannelId == subChannelId) {
            return &streams[i];
        }
    }
    return nullptr;
}

EtiFrameResult ParseEtiFrame(std::span<const std::uint8_t> frame) {
    EtiFrameResult result;
    EtiFrameView& view = result.frame;
    if (frame.size() < kSyncSize + kFcSize) {
        result.error = EtiError::TooShort;
        return result;
    }
    view.err = frame[0];
    const std::uint32_t fsync = ReadU24(frame, 1);
    if (fsync != kEtiFsyncEven && fsync != kEtiFsyncOdd) {
        result.error = EtiError::BadSync;
        return result;
    }
    view.oddSync = fsync == kEtiFsyncOdd;
    view.frameCount = frame[4];
    const bool ficPresent = (frame[5] & 0x80) != 0;
    view.streamCount = frame[5] & 0x7F;
    view.phase = frame[6] >> 5;
    view.mode = ModeOfId((frame[6] >> 3) & 3);
    const std::size_t fl = ReadU16(frame, 6) & 0x7FF;
    if (view.streamCount > kEtiMaxStreams) {
        result.error = EtiError::BadLength;
        return result;
    }
    const std::size_t eohAt = kSyncSize + kFcSize + kStcSize * view.streamCount;
    if (frame.size() < eohAt + kEohSize) {
        result.error = EtiError::TooShort;
        return result;
    }
    if (Crc16(frame.subspan(kSyncSize, eohAt + 2 - kSyncSize)) != ReadU16(frame, eohAt + 2)) {
        result.error = EtiError::BadHeaderCrc;
        return result;
    }
    view.mnsc = ReadU16(frame, eohAt);
    const std::size_t ficSize = ficPresent ? FicBytes(view.mode) : 0;
    std::size_t mstSize = ficSize;
    for (std::size_t i = 0; i < view.streamCount; ++i) {
        const std::uint32_t stc = ReadU32(frame, kSyncSize + kFcSize + kStcSize * i);
        EtiStreamView& stream = view.streams[i];
        stream.subChannelId = static_cast<std::uint8_t>(stc >> 26);
        stream.startAddress = static_cast<std::uint16_t>((stc >> 16) & 0x3FF);
        stream.protection = static_cast<std::uint8_t>((stc >> 10) & 0x3F);
        stream.lengthWords = static_cast<std::uint16_t>(stc & 0x3FF);
        mstSize += stream.lengthWords * 8u;
    }
    const std::size_t mstAt = eohAt + kEohSize;
    if (fl != view.streamCount + 1 + mstSize / 4 ||
        mstAt + mstSize + kEofSize + kTistSize > kEtiFrameSize) {
        result.error = EtiError::BadLength;
        return result;
    }
    if (frame.size() < mstAt + mstSize + kEofSize + kTistSize) {
        result.error = EtiError::TooShort;
        return result;
    }
    if (Crc16(frame.subspan(mstAt, mstSize)) != ReadU16(frame, mstAt + mstSize)) {
        result.error = EtiError::BadFrameCrc;
        return result;
    }
    view.fic = frame.subspan(mstAt, ficSize);
    std::size_t at = mstAt + ficSize;
    for (std::size_t i = 0; i < view.streamCount; ++i) {
        EtiStreamView& stream = view.streams[i];
        stream.data = frame.subspan(at, stream.lengthWords * 8u);
        at += stream.data.size();
    }
    view.timestamp = ReadU32(frame, mstAt + mstSize + kEofSize) & 0xFFFFFF;
    view.size = mstAt + mstSize + kEofSize + kTistSize;
    if (view.err != 0xFF) {
        result.error = EtiError::SignalError;
    }
    return result;
}

}  // namespace broadcast
