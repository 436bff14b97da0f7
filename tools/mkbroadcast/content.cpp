#include "tools/mkbroadcast/content.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

namespace mkbroadcast {
namespace {

constexpr std::size_t kMaxMessagePayload = 200;

std::vector<std::vector<std::uint8_t>> SplitMessages(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::vector<std::uint8_t>> messages;
    for (std::size_t at = 0; at < bytes.size(); at += kMaxMessagePayload) {
        const std::size_t end = std::min(bytes.size(), at + kMaxMessagePayload);
        messages.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                              bytes.begin() + static_cast<std::ptrdiff_t>(end));
    }
    if (messages.empty()) {
        messages.emplace_back();
    }
    return messages;
}

bool ReadFile(const std::filesystem::path& path, std::vector<std::uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

ContentSource::ContentSource(const TpegSource& source, std::uint32_t frequencyKhz)
    : m_source(source), m_frequencyKhz(frequencyKhz), m_generated(source.contentFolder.empty()) {}

bool ContentSource::Load(std::string& error) {
    if (m_generated) {
        return true;
    }
    namespace fs = std::filesystem;
    const fs::path folder(m_source.contentFolder);
    bool any = false;
    const auto apps = broadcast::TpegApplications();
    for (std::size_t app = 0; app < apps.size(); ++app) {
        const std::string name(apps[app].fileName);
        std::vector<std::uint8_t> bytes;
        if (ReadFile(folder / name, bytes)) {
            m_versions[app].push_back(bytes);
        }
        for (int n = 1; ReadFile(folder / (name + "." + std::to_string(n)), bytes); ++n) {
            m_versions[app].push_back(bytes);
        }
        any = any || !m_versions[app].empty();
    }
    if (!any) {
        error = "content folder " + m_source.contentFolder + " holds no application data file";
    }
    return any;
}

DataSetContent ContentSource::Generate(std::size_t app, std::uint32_t frame) const {
    const auto& info = broadcast::TpegApplications()[app];
    const std::uint32_t period = m_source.changePeriodFrames;
    // Staggered so that the applications change at different moments.
    const std::uint32_t step = (frame + static_cast<std::uint32_t>(app) * period / 10) / period;
    DataSetContent content;
    content.version = static_cast<std::uint8_t>(step % 255 + 1);
    const std::size_t count = 2 + (app + step) % 3;
    for (std::size_t i = 0; i < count; ++i) {
        std::string text = std::string(info.name) + " data set version " +
                           std::to_string(content.version) + ", message " + std::to_string(i + 1) +
                           " of " + std::to_string(count) + ", " + std::to_string(m_frequencyKhz) +
                           " kHz, " + m_source.serviceName + "\n";
        for (std::size_t line = 0; line < (i + step) % 4; ++line) {
            text += "  item " + std::to_string(line + 1) + ": segment " +
                    std::to_string((app * 37 + step * 11 + line) % 997) + " delay " +
                    std::to_string((step + line) % 30) + " min\n";
        }
        content.messages.emplace_back(text.begin(), text.end());
    }
    return content;
}

const DataSetContent& ContentSource::At(std::size_t app, std::uint32_t frame) {
    if (m_generated) {
        DataSetContent next = Generate(app, frame);
        if (!m_valid[app] || next.version != m_current[app].version) {
            m_current[app] = std::move(next);
            m_valid[app] = true;
        }
        return m_current[app];
    }
    const auto& versions = m_versions[app];
    const std::size_t index = (frame / m_source.changePeriodFrames) % versions.size();
    const std::uint8_t version = static_cast<std::uint8_t>(index % 255 + 1);
    if (!m_valid[app] || m_current[app].version != version) {
        m_current[app].version = version;
        m_current[app].messages = SplitMessages(versions[index]);
        m_valid[app] = true;
    }
    return m_current[app];
}

}  // namespace mkbroadcast
