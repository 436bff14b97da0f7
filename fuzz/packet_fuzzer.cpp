// libFuzzer target: a sub-channel's bytes walked packet by packet, the good packets reassembled
// into data groups by address, every complete data group parsed and turned into stream pieces
// (repetitions, segment series); then the same bytes through the packet FEC decoder.
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>

#include "broadcast/data_group.h"
#include "broadcast/data_group_assembler.h"
#include "broadcast/data_group_stream.h"
#include "broadcast/packet.h"
#include "broadcast/packet_fec.h"

namespace {

// More addresses than a sub-channel carries in practice, few enough to stay quick per input.
constexpr std::size_t kMaxAddresses = 8;

bool Inside(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

void WalkThroughFec(std::span<const std::uint8_t> input) {
    broadcast::PacketFecDecoder fec;
    for (std::size_t at = 0; input.size() - at >= 2;) {
        const std::size_t size = fec.NextPushSize(input.subspan(at));
        if (size == 0 || size > input.size() - at) {
            break;
        }
        const broadcast::FecStep step = fec.Push(input.subspan(at, size));
        if (step.released.size() >
            broadcast::kFecApplicationTableSize + broadcast::kMaxPacketSize) {
            __builtin_trap();
        }
        at += size;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    std::map<std::uint16_t, broadcast::DataGroupAssembler> assemblers;
    std::map<std::uint16_t, broadcast::DataGroupStream> streams;
    std::size_t offset = 0;
    while (offset < size) {
        const std::span<const std::uint8_t> rest = input.subspan(offset);
        const broadcast::PacketResult result = broadcast::ParsePacket(rest);
        if (result.size == 0) {
            break;
        }
        offset += result.size;
        if (result.error != broadcast::PacketError::None) {
            continue;
        }
        const broadcast::PacketView& packet = result.packet;
        if (result.size > rest.size() || !Inside(packet.useful, rest.first(result.size)) ||
            packet.useful.size() != packet.header.usefulLength) {
            __builtin_trap();
        }
        auto it = assemblers.find(packet.header.address);
        if (it == assemblers.end()) {
            if (assemblers.size() == kMaxAddresses) {
                continue;
            }
            it = assemblers.emplace(packet.header.address, packet.header.address).first;
        }
        const broadcast::AssemblyResult assembled = it->second.Push(packet);
        if (assembled.status != broadcast::AssemblyStatus::Complete) {
            continue;
        }
        if (assembled.dataGroup.size() > broadcast::kMaxDataGroupSize) {
            __builtin_trap();
        }
        const broadcast::DataGroupResult group = broadcast::ParseDataGroup(assembled.dataGroup);
        if (group.error == broadcast::DataGroupError::None &&
            (!Inside(group.data, assembled.dataGroup) ||
             !Inside(group.header.endUserAddress, assembled.dataGroup))) {
            __builtin_trap();
        }
        if (group.error != broadcast::DataGroupError::None) {
            continue;
        }
        const broadcast::StreamStep step = streams[packet.header.address].Push(group);
        if (step.verdict == broadcast::StreamVerdict::Passed &&
            step.data.size() > broadcast::DataGroupStream::kMaxSegmentedSize) {
            __builtin_trap();
        }
    }
    WalkThroughFec(input);
    return 0;
}
