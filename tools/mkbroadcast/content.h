#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "broadcast/tpeg_application.h"
#include "tools/mkbroadcast/plan.h"

namespace mkbroadcast {

// One message of an application's carousel: its id and, unless it cancels the message of that
// id, its body (the sub-components after the management container).
struct CarouselMessage {
    std::uint32_t id = 0;
    bool cancel = false;
    std::vector<std::uint8_t> body;
};

// What an application broadcasts during one change period: every message with the period's
// version id and expiry time, in ascending id, with a cancel for each id the period before sent
// and this one does not.
struct ApplicationContent {
    std::uint8_t version = 0;
    std::uint32_t expiry = 0;  // seconds since 1970-01-01 UTC
    std::vector<CarouselMessage> messages;
};

// The messages each application broadcasts at a given frame: generated text that changes every
// change period (applications staggered; messages added, changed and cancelled from one period
// to the next), or the files of a content folder cut into messages of 200 bytes.
//
// A recording is played in a loop, so its last period must lead into its first the way one
// period leads into the next: the content is a function of the period number modulo the
// periods in the recording, and version ids step round the 256 values once per recording,
// always moving forwards by at most 128 (what a receiver takes for a newer version).
class ContentSource {
  public:
    // frames: the recording's length; expiry: the expiry time every message carries.
    ContentSource(const TpegSource& source, std::uint32_t frequencyKhz, std::uint32_t frames,
                  std::uint32_t expiry);

    // Reads the content folder or the stream file, if any; false with error when nothing usable
    // is there.
    bool Load(std::string& error);
    bool Has(std::size_t app) const { return !m_versions[app].empty() || m_generated; }
    // The recorded stream to send instead of messages; empty when there is none.
    const std::vector<std::uint8_t>& Stream() const { return m_stream; }
    const ApplicationContent& At(std::size_t app, std::uint32_t frame);

  private:
    std::uint32_t Period(std::size_t app, std::uint32_t frame) const;
    std::vector<std::vector<std::uint8_t>> Bodies(std::size_t app, std::uint32_t period) const;

    TpegSource m_source;
    std::uint32_t m_frequencyKhz;
    std::uint32_t m_periods;  // change periods in the recording, at least 1
    std::uint32_t m_expiry;
    bool m_generated;
    std::array<std::vector<std::vector<std::uint8_t>>, broadcast::kTpegApplicationCount> m_versions;
    std::vector<std::uint8_t> m_stream;
    std::array<ApplicationContent, broadcast::kTpegApplicationCount> m_current;
    std::array<std::uint32_t, broadcast::kTpegApplicationCount> m_currentPeriod{};
    std::array<bool, broadcast::kTpegApplicationCount> m_valid{};
};

}  // namespace mkbroadcast
