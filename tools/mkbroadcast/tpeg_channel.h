#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/mkbroadcast/content.h"
#include "tools/mkbroadcast/plan.h"
#include "tools/mkbroadcast/stream_shape.h"

namespace mkbroadcast {

// The packet-mode sub-channel of one TPEG data service: a carousel of transport frames (the
// SNI, then the current messages of every application, several to a component frame), one data
// group per transport frame, packets on the service's address; or a TPEG stream recorded
// elsewhere, sent as it is. Each 24 ms frame carries whole packets only; what is left is
// padding. With FEC, every 2256 bytes of packets are followed by the nine FEC packets. The
// source can shape this further as broadcasters do: every data group repeated, transport
// frames split into segmented data groups, no data groups at all (DG flag 1), and another data
// service's MOT data groups on a second address sent first in every frame.
class TpegChannel {
  public:
    TpegChannel(const TpegSource& source, std::uint16_t address, bool fec, ContentSource& content);

    void Fill(std::uint32_t frame, std::span<std::uint8_t> out);

  private:
    void Generate(std::uint32_t frame);
    void AppendTransportFrame(std::uint8_t scid, const std::vector<std::uint8_t>& componentData);
    // Carries one transport frame as the sub-channel's shape asks: data groups
    // (segmented, repeated) or straight in the packets.
    void AppendToSubChannel(const std::vector<std::uint8_t>& transport);
    void AppendNeighbourGroup(std::uint32_t frame);
    void Emit(std::span<const std::uint8_t> packet, std::span<std::uint8_t> out, std::size_t& at);

    TpegSource m_source;
    std::uint16_t m_address;
    bool m_fec;
    ContentSource& m_content;
    StreamShaper m_shaper;
    std::vector<std::uint8_t> m_queue;  // whole data packets waiting
    std::size_t m_queueAt = 0;
    std::vector<std::uint8_t> m_table;     // FEC application data table being filled
    std::vector<std::uint8_t> m_fecQueue;  // FEC packets waiting
    std::size_t m_fecAt = 0;
    std::size_t m_app = 0;
    std::size_t m_message = 0;
    std::size_t m_streamAt = 0;  // in the recorded stream
    bool m_sniNext = true;
    std::uint8_t m_packetContinuity = 0;
    std::uint8_t m_groupContinuity = 0;
    std::uint16_t m_transportId = 0;
    std::vector<std::uint8_t> m_neighbour;  // the other service's packets of this frame
    std::size_t m_neighbourAt = 0;
    std::uint8_t m_neighbourPacketContinuity = 0;
    std::uint8_t m_neighbourGroupContinuity = 0;
};

}  // namespace mkbroadcast
