#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace broadcast {

// TPEG2 application messages inside a component frame (data CRC removed).
//
//   frame data = [group priority (1)] message count (1) message...
//   message    = component id (1), IntUnLoMB length, IntUnLoMB attribute length, attributes,
//                sub-components; the first sub-component is the Message Management
//                Container (MMC)
//   MMC        = id 1, IntUnLoMB length, IntUnLoMB attribute length, attributes:
//                message id (IntUnLoMB, up to 5 bytes), version id (1), expiry time (DateTime,
//                4 bytes: seconds since 1970-01-01 UTC), selector (BitArray), the optional
//                attributes the selector flags, in order: cancel flag (Boolean, 1 byte),
//                generation time (DateTime), further ones kept undecoded.
//
// Applications differ in whether their component frames start with a group priority: the
// same encoder sends some of them with it and some without, and the SNI does not say which.
// The frame is therefore read without one first; when its messages then do not fill it exactly
// it is read with one.
//
// A BitArray is like IntUnLoMB: bit 7 of each byte says another byte follows, and the seven
// flags of a byte count from bit 6 down.

inline constexpr std::uint8_t kMmcComponentId = 1;
// More bytes of selector than any container defines flags for are not taken as one.
inline constexpr std::size_t kMaxSelectorBytes = 4;

struct MessageManagement {
    std::uint32_t messageId = 0;
    std::uint8_t versionId = 0;
    std::uint32_t expiryTime = 0;  // seconds since 1970-01-01 UTC
    bool cancel = false;
    std::optional<std::uint32_t> generationTime;
    std::uint32_t selector = 0;  // the flags, first one in bit 0
    // Attribute bytes after the ones decoded above (optional attributes not read here), and
    // the container's own sub-components (multi-part directories and the like).
    std::span<const std::uint8_t> otherAttributes;
    std::span<const std::uint8_t> subComponents;
};

struct TpegMessage {
    std::uint8_t componentId = 0;
    MessageManagement management;
    std::span<const std::uint8_t> bytes;  // the whole message component, as broadcast
};

struct TpegMessageFrame {
    std::optional<std::uint8_t> groupPriority;
    std::size_t declaredCount = 0;
    std::vector<TpegMessage> messages;  // those whose management container could be read
    std::size_t malformed = 0;          // messages framed right whose container could not be read
    // Every declared message was framed and together they fill the frame exactly. When not,
    // messages holds those framed before the fault.
    bool complete = false;
};

// Reads the management container of one message component (its id, length and content).
std::optional<MessageManagement> ReadMessageManagement(std::span<const std::uint8_t> message);

// Splits frame data into messages. Never reads outside data; the work is bounded by its size
// (at most 255 messages).
TpegMessageFrame ParseTpegMessages(std::span<const std::uint8_t> data);

// Builds a message component: id, length, an empty attribute block, the management container
// (cancel flag written only when set) and body as further sub-components.
void AppendTpegMessage(std::uint8_t componentId, const MessageManagement& management,
                       std::span<const std::uint8_t> body, std::vector<std::uint8_t>& out);

}  // namespace broadcast
