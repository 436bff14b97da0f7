// What the demo broadcast carries, decoded with the format library alone:
// the messages the service's data files may hold.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>

#include "broadcast/data_group.h"
#include "broadcast/data_group_assembler.h"
#include "broadcast/eti_reader.h"
#include "broadcast/packet.h"
#include "broadcast/tpeg_message_store.h"
#include "broadcast/tpeg_service_decoder.h"

namespace testsupport {

// Every message the demo's preferred ensemble carries, per event code, as
// its bytes: what the files' messages must be.
inline std::map<std::uint16_t, std::set<std::string>> BroadcastMessages(const std::string& eti) {
    struct Collector : broadcast::TpegServiceObserver {
        void OnMessages(const broadcast::TpegApplication& app,
                        std::span<const std::uint8_t> file) override {
            const auto entries = broadcast::ReadMessageFile(file);
            for (const auto& entry : entries.value_or(std::vector<broadcast::MessageFileEntry>{})) {
                sets[app.eventCode].insert(std::string(entry.bytes.begin(), entry.bytes.end()));
            }
        }
        std::map<std::uint16_t, std::set<std::string>> sets;
    } collector;
    broadcast::EtiReader reader;
    if (!reader.Open(eti)) {
        return {};
    }
    broadcast::DataGroupAssembler assembler(0x100);
    broadcast::TpegServiceDecoder decoder;
    for (auto frame = reader.Next(); frame.status != broadcast::EtiReadStatus::End;
         frame = reader.Next()) {
        const auto* stream = frame.frame.FindStream(3);
        if (frame.status != broadcast::EtiReadStatus::Frame || stream == nullptr) {
            continue;
        }
        for (auto packets = stream->data; !packets.empty();) {
            const auto packet = broadcast::ParsePacket(packets);
            if (packet.size == 0 || packet.size > packets.size()) {
                break;
            }
            packets = packets.subspan(packet.size);
            if (packet.error != broadcast::PacketError::None) {
                continue;
            }
            const auto assembled = assembler.Push(packet.packet);
            if (assembled.status == broadcast::AssemblyStatus::Complete) {
                const auto group = broadcast::ParseDataGroup(assembled.dataGroup);
                if (group.error == broadcast::DataGroupError::None) {
                    decoder.Push(group.data, collector, 0);
                }
            }
        }
    }
    return collector.sets;
}

// The file is a data file whose every message is one the broadcast carried for one application.
inline bool HoldsBroadcastMessages(const std::string& file,
                                   const std::map<std::uint16_t, std::set<std::string>>& messages) {
    const auto entries = broadcast::ReadMessageFile(
        std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()));
    if (!entries || entries->empty()) {
        return false;
    }
    for (const auto& [code, carried] : messages) {
        const auto isCarried = [&](const broadcast::MessageFileEntry& entry) {
            return carried.count(std::string(entry.bytes.begin(), entry.bytes.end())) != 0;
        };
        if (std::all_of(entries->begin(), entries->end(), isCarried)) {
            return true;
        }
    }
    return false;
}

}  // namespace testsupport
