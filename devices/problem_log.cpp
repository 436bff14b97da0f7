#include "devices/problem_log.h"

#include "platform/log.h"
#include "platform/text.h"

namespace devices {

void ProblemLog::Report(std::string_view key, std::string_view text) {
    if (m_reported.find(key) != m_reported.end()) {
        return;
    }
    m_reported.emplace(key);
    // Not through the 128-unit formatting buffer: recording paths are long.
    platform::DebugOutput(platform::FromUtf8("[TDMB device] " + std::string(text) + "\r\n"));
}

void ProblemLog::Resolve(std::string_view key) {
    if (const auto found = m_reported.find(key); found != m_reported.end()) {
        m_reported.erase(found);
    }
}

void ProblemLog::Clear() {
    m_reported.clear();
}

}  // namespace devices
