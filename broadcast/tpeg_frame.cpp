#include "broadcast/tpeg_frame.h"

#include <algorithm>

#include "broadcast/bytes.h"
#include "broadcast/crc.h"

namespace broadcast {
namespace {

constexpr std::size_t kTransportCrcServiceBytes = 11;
constexpr std::size_t kComponentCrcDataBytes = 13;

std::uint16_t ComponentHeaderCrc(std::span<const std::uint8_t> frame, std::size_t fieldBytes) {
    std::uint16_t reg = Crc16Update(kCrc16Preset, frame.first(3));
    reg = Crc16Update(
        reg, frame.subspan(kComponentHeaderSize, std::min(fieldBytes, kComponentCrcDataBytes)));
    return static_cast<std::uint16_t>(~reg);
}

}  // namespace

const char* ToString(TpegError error) {
    switch (error) {
        case TpegError::None:
            return "none";
        case TpegError::TooShort:
            return "frame truncated";
        case TpegError::BadSync:
            return "no sync word";
        case TpegError::BadHeaderCrc:
            return "header CRC mismatch";
        case TpegError::BadDataCrc:
            return "data CRC mismatch";
        case TpegError::BadLength:
            return "length field contradicts content";
        case TpegError::UnknownFrameType:
            return "unknown frame type";
    }
    return "unknown";
}

std::uint16_t TransportHeaderCrc(std::span<const std::uint8_t> frameStart) {
    const std::size_t length = ReadU16(frameStart, 2);
    std::uint16_t reg = Crc16Update(kCrc16Preset, frameStart.first(4));
    reg = Crc16Update(reg, frameStart.subspan(6, 1 + std::min(length, kTransportCrcServiceBytes)));
    return static_cast<std::uint16_t>(~reg);
}

bool TransportHeaderHolds(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kTransportHeaderSize || ReadU16(bytes, 0) != kTpegSyncWord) {
        return false;
    }
    const std::size_t length = ReadU16(bytes, 2);
    return bytes.size() >= kTransportHeaderSize + std::min(length, kTransportCrcServiceBytes) &&
           TransportHeaderCrc(bytes) == ReadU16(bytes, 4);
}

TransportFrameResult ParseTransportFrame(std::span<const std::uint8_t> bytes) {
    TransportFrameResult result;
    if (bytes.size() < kTransportHeaderSize) {
        result.error = TpegError::TooShort;
        return result;
    }
    if (ReadU16(bytes, 0) != kTpegSyncWord) {
        result.error = TpegError::BadSync;
        return result;
    }
    const std::size_t length = ReadU16(bytes, 2);
    if (bytes.size() < kTransportHeaderSize + std::min(length, kTransportCrcServiceBytes)) {
        result.error = TpegError::TooShort;
        return result;
    }
    if (TransportHeaderCrc(bytes) != ReadU16(bytes, 4)) {
        result.error = TpegError::BadHeaderCrc;
        return result;
    }
    if (bytes.size() < kTransportHeaderSize + length) {
        result.error = TpegError::TooShort;
        return result;
    }
    result.frame.frameType = bytes[6];
    result.frame.serviceFrame = bytes.subspan(kTransportHeaderSize, length);
    result.frame.size = kTransportHeaderSize + length;
    return result;
}

void AppendTransportFrame(std::uint8_t frameType, std::span<const std::uint8_t> serviceFrame,
                          std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    AppendU16(out, kTpegSyncWord);
    AppendU16(out, static_cast<unsigned>(serviceFrame.size()));
    AppendU16(out, 0);
    AppendU8(out, frameType);
    AppendBytes(out, serviceFrame);
    const std::span<std::uint8_t> frame = std::span(out).subspan(start);
    WriteU16(frame, 4, TransportHeaderCrc(frame));
}

ServiceFrameResult ParseServiceFrame(std::span<const std::uint8_t> serviceFrame) {
    ServiceFrameResult result;
    if (serviceFrame.size() < 4) {
        result.error = TpegError::TooShort;
        return result;
    }
    result.frame.sid = {serviceFrame[0], serviceFrame[1], serviceFrame[2]};
    result.frame.encryptionId = serviceFrame[3];
    result.frame.components = serviceFrame.subspan(4);
    return result;
}

void AppendServiceFrameHeader(ServiceId sid, std::uint8_t encryptionId,
                              std::vector<std::uint8_t>& out) {
    AppendU8(out, sid.a);
    AppendU8(out, sid.b);
    AppendU8(out, sid.c);
    AppendU8(out, encryptionId);
}

ComponentFrameResult ParseComponentFrame(std::span<const std::uint8_t> bytes, bool withDataCrc) {
    ComponentFrameResult result;
    ComponentFrameView& frame = result.frame;
    if (bytes.size() < kComponentHeaderSize) {
        result.error = TpegError::TooShort;
        return result;
    }
    frame.scid = bytes[0];
    frame.fieldLength = ReadU16(bytes, 1);
    frame.size = kComponentHeaderSize + frame.fieldLength;
    const std::size_t crcBytes = std::min<std::size_t>(frame.fieldLength, kComponentCrcDataBytes);
    if (bytes.size() < kComponentHeaderSize + crcBytes) {
        result.error = TpegError::TooShort;
        return result;
    }
    if (ComponentHeaderCrc(bytes, frame.fieldLength) != ReadU16(bytes, 3)) {
        frame.size = 0;
        result.error = TpegError::BadHeaderCrc;
        return result;
    }
    if (bytes.size() < frame.size) {
        result.error = TpegError::TooShort;
        return result;
    }
    const std::span<const std::uint8_t> field =
        bytes.subspan(kComponentHeaderSize, frame.fieldLength);
    if (!withDataCrc) {
        frame.data = field;
        return result;
    }
    if (field.size() < 2) {
        result.error = TpegError::BadLength;
        return result;
    }
    frame.data = field.first(field.size() - 2);
    if (Crc16(frame.data) != ReadU16(field, field.size() - 2)) {
        result.error = TpegError::BadDataCrc;
    }
    return result;
}

void AppendComponentFrame(std::uint8_t scid, std::span<const std::uint8_t> data,
                          std::vector<std::uint8_t>& out, bool withDataCrc) {
    const std::size_t start = out.size();
    const std::size_t fieldLength = data.size() + (withDataCrc ? 2 : 0);
    AppendU8(out, scid);
    AppendU16(out, static_cast<unsigned>(fieldLength));
    AppendU16(out, 0);
    AppendBytes(out, data);
    if (withDataCrc) {
        AppendU16(out, Crc16(data));
    }
    const std::span<std::uint8_t> frame = std::span(out).subspan(start);
    WriteU16(frame, 3, ComponentHeaderCrc(frame, fieldLength));
}

bool ComponentHeadersTile(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ComponentFrameResult component = ParseComponentFrame(bytes, false);
        if (component.error != TpegError::None) {
            return false;
        }
        bytes = bytes.subspan(component.frame.size);
    }
    return true;
}

std::optional<ComponentFrameResult> ComponentFrameWalker::Next() {
    if (m_rest.empty()) {
        return std::nullopt;
    }
    ComponentFrameResult result = ParseComponentFrame(m_rest);
    if (result.error == TpegError::BadHeaderCrc && m_rest.size() >= kComponentHeaderSize) {
        const std::size_t size = kComponentHeaderSize + ReadU16(m_rest, 1);
        if (size <= m_rest.size() && ComponentHeadersTile(m_rest.subspan(size))) {
            result.frame.scid = m_rest[0];
            result.frame.fieldLength = ReadU16(m_rest, 1);
            result.frame.size = size;
        }
    }
    // A size is known only where the length could be trusted (see ParseComponentFrame).
    const bool stepped = result.error != TpegError::TooShort && result.frame.size > 0 &&
                         result.frame.size <= m_rest.size();
    if (!stepped) {
        m_lost += m_rest.size();
        m_rest = {};
        result.frame.size = 0;
        return result;
    }
    m_rest = m_rest.subspan(result.frame.size);
    return result;
}

StreamDirectoryResult ParseStreamDirectory(std::span<const std::uint8_t> serviceFrame) {
    StreamDirectoryResult result;
    if (serviceFrame.size() < 3) {
        result.error = TpegError::TooShort;
        return result;
    }
    const std::size_t count = serviceFrame[0];
    if (serviceFrame.size() != 1 + 3 * count + 2) {
        result.error = TpegError::BadLength;
        return result;
    }
    const std::size_t crcAt = serviceFrame.size() - 2;
    if (Crc16(serviceFrame.first(crcAt)) != ReadU16(serviceFrame, crcAt)) {
        result.error = TpegError::BadDataCrc;
        return result;
    }
    result.count = count;
    result.sids = serviceFrame.subspan(1, 3 * count);
    return result;
}

void AppendStreamDirectory(std::span<const ServiceId> sids, std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    AppendU8(out, static_cast<unsigned>(sids.size()));
    for (const ServiceId& sid : sids) {
        AppendU8(out, sid.a);
        AppendU8(out, sid.b);
        AppendU8(out, sid.c);
    }
    AppendU16(out, Crc16(std::span(out).subspan(start)));
}

}  // namespace broadcast
