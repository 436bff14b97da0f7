#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace broadcast {

// TPEG transport: transport frames (sync word, field length, header CRC, frame type, service
// frame), service frames (SID-A/B/C, encryption id, component frames), component frames (SCID,
// field length, header CRC, data, data CRC) and the stream directory (frame type 0).
inline constexpr std::uint16_t kTpegSyncWord = 0xFF0F;
inline constexpr std::size_t kTransportHeaderSize = 7;
inline constexpr std::size_t kMaxServiceFrameSize = 0xFFFF;
inline constexpr std::size_t kMaxTransportFrameSize = kTransportHeaderSize + kMaxServiceFrameSize;
inline constexpr std::size_t kComponentHeaderSize = 5;
inline constexpr std::uint8_t kStreamDirectoryFrameType = 0;
inline constexpr std::uint8_t kServiceFrameType = 1;
// Encryption indicator of a service frame sent in the clear; any other value means its component
// frames are encrypted or compressed and cannot be read without the service's key.
inline constexpr std::uint8_t kNoEncryption = 0;

enum class TpegError {
    None,
    TooShort,  // the frame announces more bytes than there are
    BadSync,   // no sync word where a transport frame must start
    BadHeaderCrc,
    BadDataCrc,
    BadLength,  // a length field contradicts its content
    UnknownFrameType,
};

const char* ToString(TpegError error);

struct ServiceId {
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    std::uint8_t c = 0;
    friend bool operator==(const ServiceId&, const ServiceId&) = default;
};

struct TransportFrameView {
    std::uint8_t frameType = 0;
    std::span<const std::uint8_t> serviceFrame;  // inside the input
    std::size_t size = 0;                        // bytes of the whole transport frame
};

struct TransportFrameResult {
    TpegError error = TpegError::None;
    TransportFrameView frame;
};

// Parses the transport frame at the start of bytes: sync word, header CRC (over the sync word,
// the field length, the frame type and the first 11 bytes of the service frame) and length.
// The frame type is reported, not judged.
TransportFrameResult ParseTransportFrame(std::span<const std::uint8_t> bytes);

// Whether bytes start with a sync word and a header whose CRC holds; false also while too few
// bytes are there to tell. Says nothing about the service frame's length.
bool TransportHeaderHolds(std::span<const std::uint8_t> bytes);

// The header CRC of a transport frame whose first bytes are given: needs at least
// kTransportHeaderSize + min(11, field length) bytes.
std::uint16_t TransportHeaderCrc(std::span<const std::uint8_t> frameStart);

// Appends a transport frame around serviceFrame (at most kMaxServiceFrameSize bytes).
void AppendTransportFrame(std::uint8_t frameType, std::span<const std::uint8_t> serviceFrame,
                          std::vector<std::uint8_t>& out);

struct ServiceFrameView {
    ServiceId sid;
    std::uint8_t encryptionId = 0;
    std::span<const std::uint8_t> components;  // the component frames, inside the input
};

struct ServiceFrameResult {
    TpegError error = TpegError::None;
    ServiceFrameView frame;
};

ServiceFrameResult ParseServiceFrame(std::span<const std::uint8_t> serviceFrame);
void AppendServiceFrameHeader(ServiceId sid, std::uint8_t encryptionId,
                              std::vector<std::uint8_t>& out);

struct ComponentFrameView {
    std::uint8_t scid = 0;
    std::uint16_t fieldLength = 0;
    std::span<const std::uint8_t> data;  // without the data CRC, inside the input
    std::size_t size = 0;                // header plus field
};

struct ComponentFrameResult {
    TpegError error = TpegError::None;
    ComponentFrameView frame;
};

// Parses the component frame at the start of bytes. The header CRC covers the SCID, the field
// length and the first 13 bytes of the field; the data CRC (when withDataCrc) is the field's
// last two bytes over the rest of it. size is set whenever the header was readable, so a caller
// may step over a frame whose data CRC failed.
ComponentFrameResult ParseComponentFrame(std::span<const std::uint8_t> bytes,
                                         bool withDataCrc = true);

void AppendComponentFrame(std::uint8_t scid, std::span<const std::uint8_t> data,
                          std::vector<std::uint8_t>& out, bool withDataCrc = true);

// Walks the component frames of a service frame. A component whose data CRC fails is stepped
// over by its length. One whose header CRC fails is stepped over by its length too when the
// components after it then fill the service frame exactly with holding headers (damage in the
// first data bytes breaks the header CRC although the length is sound); otherwise the rest of
// the service frame cannot be walked and is reported as lost.
class ComponentFrameWalker {
  public:
    explicit ComponentFrameWalker(std::span<const std::uint8_t> components) : m_rest(components) {}

    // The next component (error set when it is damaged), or nothing at the end.
    std::optional<ComponentFrameResult> Next();
    // Bytes at the end that could not be walked.
    std::size_t LostBytes() const { return m_lost; }

  private:
    std::span<const std::uint8_t> m_rest;
    std::size_t m_lost = 0;
};

// Whether component frames with holding headers fill bytes exactly (data CRCs unchecked).
bool ComponentHeadersTile(std::span<const std::uint8_t> bytes);

struct StreamDirectoryResult {
    TpegError error = TpegError::None;
    std::size_t count = 0;
    std::span<const std::uint8_t> sids;  // count × 3 bytes

    ServiceId At(std::size_t i) const { return {sids[3 * i], sids[3 * i + 1], sids[3 * i + 2]}; }
};

// The service frame of frame type 0: number of services, their SIDs, CRC over both.
StreamDirectoryResult ParseStreamDirectory(std::span<const std::uint8_t> serviceFrame);
void AppendStreamDirectory(std::span<const ServiceId> sids, std::vector<std::uint8_t>& out);

}  // namespace broadcast
