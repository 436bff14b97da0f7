#include "tools/mkbroadcast/stream_shape.h"

#include <algorithm>
#include <charconv>

#include "broadcast/bytes.h"
#include "broadcast/sni.h"
#include "broadcast/tpeg_application.h"
#include "broadcast/tpeg_message.h"

namespace mkbroadcast {

namespace bc = broadcast;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kOversizedBytesSent = 20;

bool ParseEvery(const std::string& value, std::uint32_t& out) {
    std::uint32_t n = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n == 0 || n > 1000000) {
        return false;
    }
    out = n;
    return true;
}

bool ParseSid(const std::string& value, bc::ServiceId& out) {
    unsigned parts[3] = {};
    const char* at = value.data();
    const char* const end = value.data() + value.size();
    for (int i = 0; i < 3; ++i) {
        const auto [next, ec] = std::from_chars(at, end, parts[i]);
        if (ec != std::errc() || parts[i] > 255 || (i < 2 && (next == end || *next != '.'))) {
            return false;
        }
        at = next + (i < 2 ? 1 : 0);
    }
    if (at != end) {
        return false;
    }
    out = {static_cast<std::uint8_t>(parts[0]), static_cast<std::uint8_t>(parts[1]),
           static_cast<std::uint8_t>(parts[2])};
    return true;
}

Bytes Transport(bc::ServiceId sid, std::uint8_t encryption, const Bytes& components) {
    Bytes service;
    bc::AppendServiceFrameHeader(sid, encryption, service);
    bc::AppendBytes(service, components);
    Bytes frame;
    bc::AppendTransportFrame(bc::kServiceFrameType, service, frame);
    return frame;
}

Bytes Component(std::uint8_t scid, const Bytes& data) {
    Bytes frame;
    bc::AppendComponentFrame(scid, data, frame);
    return frame;
}

// The SNI with the applications of its SCIDs in reverse order; unchanged when unreadable.
Bytes ReversedSni(const Bytes& data) {
    bc::SniTable sni;
    if (bc::ParseSni(data, sni) != bc::SniError::None) {
        return data;
    }
    std::vector<std::uint16_t> aids;
    for (const auto& entry : sni.entries) {
        aids.push_back(entry.aid);
    }
    std::reverse(aids.begin(), aids.end());
    for (std::size_t i = 0; i < aids.size(); ++i) {
        sni.entries[i].aid = aids[i];
    }
    Bytes out;
    bc::AppendSni(sni, out);
    return out;
}

// Other messages in place of the frame's: each message id moved up by 0x10000 and the body
// made of the original message's bytes inverted; unchanged when unreadable.
Bytes OtherMessages(const Bytes& data) {
    const bc::TpegMessageFrame frame = bc::ParseTpegMessages(data);
    if (!frame.complete || frame.malformed != 0) {
        return data;
    }
    Bytes out;
    bc::AppendU8(out, static_cast<unsigned>(frame.messages.size()));
    for (const bc::TpegMessage& message : frame.messages) {
        bc::MessageManagement mmc = message.management;
        mmc.messageId += 0x10000;
        Bytes body(message.bytes.begin(), message.bytes.end());
        for (std::uint8_t& byte : body) {
            byte = static_cast<std::uint8_t>(~byte);
        }
        bc::AppendTpegMessage(message.componentId, mmc, body, out);
    }
    return out;
}

}  // namespace

bool ParseStreamShapeOption(const std::string& key, const std::string& value,
                            TpegStreamShape& shape, std::string& error) {
    error.clear();
    if (key == "service2") {
        bc::ServiceId sid;
        if (!ParseSid(value, sid)) {
            error = "service2 takes A.B.C with numbers 0-255";
            return false;
        }
        shape.secondService = sid;
        return true;
    }
    if (key == "directory") {
        if (value == "first") {
            shape.directory = TpegStreamShape::Directory::FirstService;
        } else if (value == "second") {
            shape.directory = TpegStreamShape::Directory::SecondService;
        } else {
            error = "directory takes first or second";
            return false;
        }
        return true;
    }
    std::uint32_t* every = key == "encrypted"   ? &shape.encryptedEvery
                           : key == "damaged"   ? &shape.damagedEvery
                           : key == "oversized" ? &shape.oversizedEvery
                                                : nullptr;
    if (every == nullptr) {
        return false;
    }
    if (!ParseEvery(value, *every)) {
        error = key + " takes a number of frames (1 to 1000000)";
        return false;
    }
    return true;
}

std::vector<Bytes> StreamShaper::Frames(std::uint8_t scid, const Bytes& componentData) {
    const std::uint64_t n = ++m_frames;
    const auto due = [n](std::uint32_t every) { return every != 0 && n % every == 0; };
    std::vector<Bytes> frames;
    const bool sni = scid == bc::kSniScid;

    if (sni && m_shape.directory != TpegStreamShape::Directory::None) {
        std::vector<bc::ServiceId> sids{m_sid};
        if (m_shape.secondService) {
            sids.insert(m_shape.directory == TpegStreamShape::Directory::SecondService
                            ? sids.begin()
                            : sids.end(),
                        *m_shape.secondService);
        }
        Bytes directory;
        bc::AppendStreamDirectory(sids, directory);
        frames.emplace_back();
        bc::AppendTransportFrame(bc::kStreamDirectoryFrameType, directory, frames.back());
    }

    Bytes components;
    if (due(m_shape.damagedEvery)) {
        components = Component(scid, componentData);
        components.back() ^= 0x01;
    }
    bc::AppendBytes(components, Component(scid, componentData));
    const Bytes own = Transport(m_sid, 0, components);

    if (due(m_shape.oversizedEvery)) {
        Bytes head(own.begin(), own.begin() + std::min(own.size(), kOversizedBytesSent));
        bc::WriteU16(head, 2, 0xFFFF);
        bc::WriteU16(head, 4, bc::TransportHeaderCrc(head));
        frames.push_back(std::move(head));
    }
    frames.push_back(own);

    if (due(m_shape.encryptedEvery)) {
        // Had the key been applied, these bytes would mean nothing; left readable, they show
        // whether a receiver decodes what it cannot have decrypted.
        const Bytes decoy = sni ? ReversedSni(componentData) : OtherMessages(componentData);
        frames.push_back(Transport(m_sid, 1, Component(scid, decoy)));
    }

    if (m_shape.secondService) {
        frames.push_back(Transport(
            *m_shape.secondService, 0,
            Component(scid, sni ? ReversedSni(componentData) : OtherMessages(componentData))));
    }
    return frames;
}

}  // namespace mkbroadcast
