#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "broadcast/tpeg_frame.h"

namespace mkbroadcast {

// Shapes of a TPEG stream that receivers meet on air and our own plain carousel never sends.
// Each is off by default; `every` counts the service's own transport frames.
struct TpegStreamShape {
    // A second TPEG service in the same stream: its own SID and SNI (the SCIDs in reverse order)
    // and its own messages (other ids, bodies inverted), a frame of it after each of the first.
    std::optional<broadcast::ServiceId> secondService;
    // A stream directory before each SNI, listing both services, this one first or second.
    enum class Directory { None, FirstService, SecondService } directory = Directory::None;
    // Every n-th frame is followed by a service frame with a non-zero encryption indicator that
    // carries, readable as plain, an SNI mapping the SCIDs in reverse order.
    std::uint32_t encryptedEvery = 0;
    // Every n-th frame carries, before its component, a copy of it with a broken data CRC.
    std::uint32_t damagedEvery = 0;
    // Every n-th frame is preceded by a transport header that holds and claims 65,535 bytes, of
    // which only its first 20 are sent.
    std::uint32_t oversizedEvery = 0;
};

// Takes key and value when key is one of the shape's keys (service2, directory, encrypted,
// damaged, oversized): true when taken, false with error set for a bad value, false with error
// empty for another key.
bool ParseStreamShapeOption(const std::string& key, const std::string& value,
                            TpegStreamShape& shape, std::string& error);

// The transport frames sent for one component frame of the service, each to go in its own
// data group.
class StreamShaper {
  public:
    StreamShaper(broadcast::ServiceId sid, const TpegStreamShape& shape)
        : m_sid(sid), m_shape(shape) {}

    std::vector<std::vector<std::uint8_t>> Frames(std::uint8_t scid,
                                                  const std::vector<std::uint8_t>& componentData);

  private:
    broadcast::ServiceId m_sid;
    TpegStreamShape m_shape;
    std::uint64_t m_frames = 0;
};

}  // namespace mkbroadcast
