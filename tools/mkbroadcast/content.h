#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "broadcast/tpeg_application.h"
#include "tools/mkbroadcast/plan.h"

namespace mkbroadcast {

struct DataSetContent {
    std::uint8_t version = 0;
    std::vector<std::vector<std::uint8_t>> messages;
};

// The data set each application broadcasts at a given frame: generated text that changes
// every change period (applications staggered), or the files of a content folder.
class ContentSource {
  public:
    ContentSource(const TpegSource& source, std::uint32_t frequencyKhz);

    // Reads the content folder, if any; false with error when nothing usable is there.
    bool Load(std::string& error);
    bool Has(std::size_t app) const { return !m_versions[app].empty() || m_generated; }
    const DataSetContent& At(std::size_t app, std::uint32_t frame);

  private:
    DataSetContent Generate(std::size_t app, std::uint32_t frame) const;

    TpegSource m_source;
    std::uint32_t m_frequencyKhz;
    bool m_generated;
    std::array<std::vector<std::vector<std::uint8_t>>, broadcast::kTpegApplicationCount> m_versions;
    std::array<DataSetContent, broadcast::kTpegApplicationCount> m_current;
    std::array<bool, broadcast::kTpegApplicationCount> m_valid{};
};

}  // namespace mkbroadcast
