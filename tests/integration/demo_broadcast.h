// What the demo broadcast carries, decoded with the format library alone:
// the contents the service's data files must hold.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>

#include "broadcast/data_group.h"
#include "broadcast/data_group_assembler.h"
#include "broadcast/eti_reader.h"
#include "broadcast/packet.h"
#include "broadcast/tpeg_service_decoder.h"

namespace testsupport {

// Every complete data set the demo's preferred ensemble carries, per event
// code, decoded with the format library alone: what the files must hold.
inline std::map<std::uint16_t, std::set<std::string>> BroadcastContents(const std::string& eti) {
    struct Collector : broadcast::TpegServiceObserver {
        void OnDataSet(const broadcast::TpegApplication& app, std::uint8_t, std::span<const std::uint8_t> content,
                       bool) override {
            sets[app.eventCode].insert(std::string(content.begin(), content.end()));
        }
        void OnServiceInformation(broadcast::ServiceId, const broadcast::SniTable&) override {}
        std::map<std::uint16_t, std::set<std::string>> sets;
    } collector;
    broadcast::EtiReader reader;
    if (!reader.Open(eti)) {
        return {};
    }
    broadcast::DataGroupAssembler assembler(0x100);
    broadcast::TpegServiceDecoder decoder;
    for (auto frame = reader.Next(); frame.status != broadcast::EtiReadStatus::End; frame = reader.Next()) {
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

}  // namespace testsupport
