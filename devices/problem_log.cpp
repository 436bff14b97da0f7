#include "devices/problem_log.h"

#include "platform/log.h"
#include "platform/text.h"

namespace devices {

void ProblemLog::Report(const std::string& key, const std::string& text) {
    if (m_reported.insert(key).second) {
        // Not through the 128-unit formatting buffer: recording paths are long.
        platform::DebugOutput(platform::FromUtf8("[TDMB device] " + text + "\r\n"));
    }
}

void ProblemLog::Resolve(const std::string& key) {
    m_reported.erase(key);
}

void ProblemLog::Clear() {
    m_reported.clear();
}

}  // namespace devices
