#include "tools/mkbroadcast/content.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

#include "broadcast/bytes.h"
#include "broadcast/tpeg_component.h"

namespace mkbroadcast {
namespace {

constexpr std::size_t kMaxMessagePayload = 200;
// The message's own content, after its management container: one sub-component holding the
// text as its attributes.
constexpr std::uint8_t kContentComponentId = 2;

std::vector<std::uint8_t> Body(std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> content;
    broadcast::AppendUintLoMB(static_cast<std::uint32_t>(payload.size()), content);
    broadcast::AppendBytes(content, payload);
    std::vector<std::uint8_t> body;
    broadcast::AppendU8(body, kContentComponentId);
    broadcast::AppendUintLoMB(static_cast<std::uint32_t>(content.size()), body);
    broadcast::AppendBytes(body, content);
    return body;
}

std::vector<std::vector<std::uint8_t>> Split(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::vector<std::uint8_t>> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += kMaxMessagePayload) {
        const std::size_t end = std::min(bytes.size(), at + kMaxMessagePayload);
        pieces.push_back(Body(std::span(bytes).subspan(at, end - at)));
    }
    if (pieces.empty()) {
        pieces.push_back(Body({}));
    }
    return pieces;
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

ContentSource::ContentSource(const TpegSource& source, std::uint32_t frequencyKhz,
                             std::uint32_t frames, std::uint32_t expiry)
    : m_source(source),
      m_frequencyKhz(frequencyKhz),
      m_periods(std::max<std::uint32_t>(
          1, (frames + source.changePeriodFrames - 1) / source.changePeriodFrames)),
      m_expiry(expiry),
      m_generated(source.contentFolder.empty()) {}

bool ContentSource::Load(std::string& error) {
    if (!m_source.streamFile.empty()) {
        if (!ReadFile(m_source.streamFile, m_stream) || m_stream.empty()) {
            error = "stream " + m_source.streamFile + " cannot be read or is empty";
            return false;
        }
        return true;
    }
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

std::uint32_t ContentSource::Period(std::size_t app, std::uint32_t frame) const {
    const std::uint32_t length = m_source.changePeriodFrames;
    // Generated content is staggered, so that the applications change at different moments.
    const std::uint32_t offset =
        m_generated ? static_cast<std::uint32_t>(app) * length / 10 : std::uint32_t{0};
    return ((frame + offset) / length) % m_periods;
}

std::vector<std::vector<std::uint8_t>> ContentSource::Bodies(std::size_t app,
                                                             std::uint32_t period) const {
    if (!m_generated) {
        return Split(m_versions[app][period % m_versions[app].size()]);
    }
    const auto& info = broadcast::TpegApplications()[app];
    const std::size_t count = 2 + (app + period) % 3;
    std::vector<std::vector<std::uint8_t>> bodies;
    for (std::size_t i = 0; i < count; ++i) {
        std::string text = std::string(info.name) + " message " + std::to_string(i + 1) +
                           ", period " + std::to_string(period + 1) + ", " +
                           std::to_string(m_frequencyKhz) + " kHz, " + m_source.serviceName + "\n";
        for (std::size_t line = 0; line < (i + period) % 4; ++line) {
            text += "  item " + std::to_string(line + 1) + ": segment " +
                    std::to_string((app * 37 + period * 11 + line) % 997) + " delay " +
                    std::to_string((period + line) % 30) + " min\n";
        }
        bodies.push_back(
            Body(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
    }
    return bodies;
}

const ApplicationContent& ContentSource::At(std::size_t app, std::uint32_t frame) {
    const std::uint32_t period = Period(app, frame);
    if (m_valid[app] && m_currentPeriod[app] == period) {
        return m_current[app];
    }
    ApplicationContent content;
    // Once round the 256 values per recording, so the loop back to the first period is a step
    // forwards too; a recording of more than 256 periods counts on by one.
    content.version =
        static_cast<std::uint8_t>(1 + (m_periods <= 256 ? period * 256 / m_periods : period));
    content.expiry = m_expiry;
    std::vector<std::vector<std::uint8_t>> bodies = Bodies(app, period);
    const std::size_t before = Bodies(app, (period + m_periods - 1) % m_periods).size();
    for (std::size_t i = 0; i < std::max(bodies.size(), before); ++i) {
        CarouselMessage message;
        message.id = static_cast<std::uint32_t>(i + 1);
        message.cancel = i >= bodies.size();
        if (!message.cancel) {
            message.body = std::move(bodies[i]);
        }
        content.messages.push_back(std::move(message));
    }
    m_current[app] = std::move(content);
    m_currentPeriod[app] = period;
    m_valid[app] = true;
    return m_current[app];
}

}  // namespace mkbroadcast
