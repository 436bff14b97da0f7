#include "broadcast/tpeg_message.h"

#include <cstdint>

#include "broadcast/bytes.h"
#include "broadcast/tpeg_component.h"

namespace broadcast {
namespace {

constexpr std::size_t kCancelFlag = 0;
constexpr std::size_t kGenerationTimeFlag = 1;
constexpr std::size_t kDateTimeBytes = 4;

// Message ids take the whole 32 bits, five bytes of IntUnLoMB (component lengths never need
// more than four); a fifth byte that would overflow 32 bits is not a number.
std::optional<UintLoMB> ReadId(std::span<const std::uint8_t> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < bytes.size() && i < 5; ++i) {
        value = (value << 7) | (bytes[i] & 0x7F);
        if ((bytes[i] & 0x80) == 0) {
            if (value > UINT32_MAX) {
                return std::nullopt;
            }
            return UintLoMB{static_cast<std::uint32_t>(value), i + 1};
        }
    }
    return std::nullopt;
}

// A component's content split into its attribute block and the sub-components after it.
struct ComponentParts {
    std::span<const std::uint8_t> attributes;
    std::span<const std::uint8_t> subComponents;
};

std::optional<ComponentParts> SplitBody(std::span<const std::uint8_t> body) {
    const auto length = ReadUintLoMB(body);
    if (!length || body.size() - length->size < length->value) {
        return std::nullopt;
    }
    const auto rest = body.subspan(length->size);
    return ComponentParts{rest.first(length->value), rest.subspan(length->value)};
}

struct Selector {
    std::uint32_t flags = 0;
    std::size_t size = 0;
};

std::optional<Selector> ReadSelector(std::span<const std::uint8_t> bytes) {
    Selector selector;
    for (std::size_t i = 0; i < bytes.size() && i < kMaxSelectorBytes; ++i) {
        for (unsigned bit = 0; bit < 7; ++bit) {
            if ((bytes[i] & (0x40u >> bit)) != 0) {
                selector.flags |= std::uint32_t{1} << (i * 7 + bit);
            }
        }
        if ((bytes[i] & 0x80) == 0) {
            selector.size = i + 1;
            return selector;
        }
    }
    return std::nullopt;
}

bool Flag(std::uint32_t flags, std::size_t index) {
    return (flags & (std::uint32_t{1} << index)) != 0;
}

TpegMessageFrame SplitMessages(std::span<const std::uint8_t> data, bool prioritised) {
    TpegMessageFrame frame;
    std::size_t at = 0;
    if (prioritised) {
        if (data.empty()) {
            return frame;
        }
        frame.groupPriority = data[at++];
    }
    if (data.size() <= at) {
        return frame;
    }
    frame.declaredCount = data[at++];
    std::size_t framed = 0;
    while (framed < frame.declaredCount) {
        const auto component = ReadTpegComponent(data.subspan(at));
        if (!component) {
            break;
        }
        const auto bytes = data.subspan(at, component->size);
        if (auto management = ReadMessageManagement(bytes)) {
            frame.messages.push_back(TpegMessage{component->id, *management, bytes});
        } else {
            ++frame.malformed;
        }
        at += component->size;
        ++framed;
    }
    frame.complete = framed == frame.declaredCount && at == data.size();
    return frame;
}

}  // namespace

std::optional<MessageManagement> ReadMessageManagement(std::span<const std::uint8_t> message) {
    const auto component = ReadTpegComponent(message);
    if (!component) {
        return std::nullopt;
    }
    const auto parts = SplitBody(component->body);
    if (!parts) {
        return std::nullopt;
    }
    const auto container = ReadTpegComponent(parts->subComponents);
    if (!container || container->id != kMmcComponentId) {
        return std::nullopt;
    }
    const auto mmc = SplitBody(container->body);
    if (!mmc) {
        return std::nullopt;
    }
    auto attributes = mmc->attributes;
    const auto messageId = ReadId(attributes);
    if (!messageId || attributes.size() - messageId->size < 1 + kDateTimeBytes) {
        return std::nullopt;
    }
    MessageManagement out;
    out.messageId = messageId->value;
    attributes = attributes.subspan(messageId->size);
    out.versionId = attributes[0];
    out.expiryTime = ReadU32(attributes, 1);
    attributes = attributes.subspan(1 + kDateTimeBytes);
    // A container ending after the expiry time has no optional attributes: nothing else could
    // be meant by it.
    if (!attributes.empty()) {
        const auto selector = ReadSelector(attributes);
        if (!selector) {
            return std::nullopt;
        }
        out.selector = selector->flags;
        attributes = attributes.subspan(selector->size);
    }
    if (Flag(out.selector, kCancelFlag)) {
        if (attributes.empty()) {
            return std::nullopt;
        }
        out.cancel = attributes[0] != 0;
        attributes = attributes.subspan(1);
    }
    if (Flag(out.selector, kGenerationTimeFlag)) {
        if (attributes.size() < kDateTimeBytes) {
            return std::nullopt;
        }
        out.generationTime = ReadU32(attributes, 0);
        attributes = attributes.subspan(kDateTimeBytes);
    }
    out.otherAttributes = attributes;
    out.subComponents = mmc->subComponents;
    return out;
}

TpegMessageFrame ParseTpegMessages(std::span<const std::uint8_t> data) {
    TpegMessageFrame plain = SplitMessages(data, false);
    if (plain.complete) {
        return plain;
    }
    TpegMessageFrame prioritised = SplitMessages(data, true);
    if (prioritised.complete || prioritised.messages.size() + prioritised.malformed >
                                    plain.messages.size() + plain.malformed) {
        return prioritised;
    }
    return plain;
}

void AppendTpegMessage(std::uint8_t componentId, const MessageManagement& management,
                       std::span<const std::uint8_t> body, std::vector<std::uint8_t>& out) {
    std::vector<std::uint8_t> attributes;
    AppendUintLoMB(management.messageId, attributes);
    AppendU8(attributes, management.versionId);
    AppendU32(attributes, management.expiryTime);
    std::uint8_t selector = 0;
    if (management.cancel) {
        selector |= 0x40u >> kCancelFlag;
    }
    if (management.generationTime) {
        selector |= 0x40u >> kGenerationTimeFlag;
    }
    AppendU8(attributes, selector);
    if (management.cancel) {
        AppendU8(attributes, 1);
    }
    if (management.generationTime) {
        AppendU32(attributes, *management.generationTime);
    }
    std::vector<std::uint8_t> container;
    AppendUintLoMB(static_cast<std::uint32_t>(attributes.size()), container);
    AppendBytes(container, attributes);

    std::vector<std::uint8_t> content;
    AppendU8(content, 0);  // the message component's own attribute block: empty
    AppendU8(content, kMmcComponentId);
    AppendUintLoMB(static_cast<std::uint32_t>(container.size()), content);
    AppendBytes(content, container);
    AppendBytes(content, body);

    AppendU8(out, componentId);
    AppendUintLoMB(static_cast<std::uint32_t>(content.size()), out);
    AppendBytes(out, content);
}

}  // namespace broadcast
