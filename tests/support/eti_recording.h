// Small ETI recordings for device tests, written with the broadcast library:
// RAW frames of an ensemble whose sub-channels carry a pattern that differs
// per frame and sub-channel, so delivered blocks can be told apart.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "broadcast/check_pattern.h"
#include "broadcast/ensemble.h"
#include "broadcast/eti.h"
#include "broadcast/fic.h"

namespace testsupport {

inline std::uint8_t PatternByte(std::uint32_t frame, std::uint8_t subChannelId, std::size_t i) {
    return static_cast<std::uint8_t>(frame * 7 + subChannelId * 31 + i);
}

// The frames of a recording, each kEtiFrameSize bytes; with firstFrameUtcMs, the FIC sends the
// date and time as a broadcast made from that moment on would; with checkPattern, every
// sub-channel carries the check pattern (broadcast/check_pattern.h).
inline std::vector<std::vector<std::uint8_t>> MakeEtiFrames(
    const broadcast::EnsembleDescription& ensemble, std::uint32_t frames,
    std::optional<std::int64_t> firstFrameUtcMs = std::nullopt, bool checkPattern = false) {
    std::vector<std::vector<std::uint8_t>> out;
    // Short recordings: the whole description within the first frames.
    broadcast::FicEncoder fic(ensemble, {1, 1});
    if (firstFrameUtcMs) {
        fic.SendTime(*firstFrameUtcMs);
    }
    std::vector<std::uint8_t> ficBytes(broadcast::FicSize(1));
    for (std::uint32_t n = 0; n < frames; ++n) {
        std::vector<std::vector<std::uint8_t>> payloads;
        std::vector<broadcast::EtiStream> streams;
        for (const broadcast::SubChannel& sc : ensemble.subChannels) {
            std::vector<std::uint8_t> payload(sc.StreamLengthWords() * 8u);
            for (std::size_t i = 0; i < payload.size(); ++i) {
                payload[i] = PatternByte(n, sc.id, i);
            }
            if (checkPattern) {
                broadcast::FillCheckPattern(n, payload);
            }
            payloads.push_back(std::move(payload));
            streams.push_back(
                {sc.id,
                 sc.startAddress,
                 broadcast::EtiProtection(sc.shortForm, sc.option, sc.protectionLevel),
                 {}});
        }
        for (std::size_t i = 0; i < streams.size(); ++i) {
            streams[i].data = payloads[i];
        }
        fic.Fill(n, ficBytes);
        broadcast::EtiFrameContent content;
        content.frameNumber = n;
        content.fic = ficBytes;
        content.streams = streams;
        std::vector<std::uint8_t> frame(broadcast::kEtiFrameSize);
        broadcast::WriteEtiFrame(content, frame);
        out.push_back(std::move(frame));
    }
    return out;
}

inline bool WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    // An empty vector's data may be null, which fwrite must not be given.
    const bool ok =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

inline bool WriteEtiFrames(const std::string& path,
                           const std::vector<std::vector<std::uint8_t>>& frames) {
    std::vector<std::uint8_t> bytes;
    for (const auto& frame : frames) {
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    return WriteBytes(path, bytes);
}

inline broadcast::Service MakeService(std::uint32_t sid, std::string label,
                                      broadcast::ServiceKind kind, std::uint8_t subChannelId) {
    const bool data = kind == broadcast::ServiceKind::Data;
    const auto packet = static_cast<std::uint16_t>(data ? 0x100 + subChannelId : 0);
    return {sid,
            sid > 0xFFFF,
            std::move(label),
            kind,
            subChannelId,
            kind == broadcast::ServiceKind::Video ? broadcast::kDsctyMpeg2Ts
            : data                                ? broadcast::kDsctyTdc
                                                  : broadcast::kAsctyMpegLayer2,
            data,
            packet,
            packet,
            true,
            data ? broadcast::kUserApplicationTpeg : std::uint16_t{0}};
}

// An ensemble with an audio, a video and a TPEG data service on sub-channels
// base+1, base+2 and base+3.
inline broadcast::EnsembleDescription ThreeServiceEnsemble(std::uint16_t eid, std::uint32_t tpegSid,
                                                           std::uint8_t base, std::string name) {
    broadcast::EnsembleDescription e;
    e.eid = eid;
    e.label = name;
    e.subChannels.push_back(broadcast::UepSubChannel(base + 1, 0, 35));
    e.subChannels.push_back(broadcast::EepSubChannel(base + 2, 96, 384, 3));
    e.subChannels.push_back(broadcast::EepSubChannel(base + 3, 384, 64, 3));
    e.services.push_back(MakeService(static_cast<std::uint16_t>(eid + 1), "Radio " + name,
                                     broadcast::ServiceKind::Audio, base + 1));
    e.services.push_back(MakeService(static_cast<std::uint16_t>(eid + 2), "TV " + name,
                                     broadcast::ServiceKind::Video, base + 2));
    e.services.push_back(
        MakeService(tpegSid, "TPEG " + name, broadcast::ServiceKind::Data, base + 3));
    return e;
}

}  // namespace testsupport
