#include "devices/lock_time.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/log.h"
#include "platform/text.h"

namespace devices {
namespace {

void LogLine(const std::string& text) {
    platform::DebugOutput(platform::FromUtf8("[TDMB device] " + text + "\r\n"));
}

}  // namespace

std::optional<platform::DWORD> ParseLockTime(std::string_view text) {
    // Five digits reach kMaxLockMs; more cannot be valid and could overflow.
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    platform::DWORD value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<platform::DWORD>(c - '0');
    }
    if (value > kMaxLockMs) {
        return std::nullopt;
    }
    return value;
}

platform::DWORD TunerLockMs() {
    const char* env = std::getenv(kTunerLockVariable);
    const std::string_view text = env != nullptr ? env : "";
    if (text.empty()) {
        return kDefaultLockMs;
    }
    if (const auto value = ParseLockTime(text)) {
        return *value;
    }
    // Every tune would log it again otherwise.
    static std::mutex lock;
    static std::string reported;
    std::lock_guard guard(lock);
    if (reported != text) {
        reported = text;
        LogLine(std::string(kTunerLockVariable) + "='" + reported + "' is not 0 to " +
                std::to_string(kMaxLockMs) + ", using " + std::to_string(kDefaultLockMs));
    }
    return kDefaultLockMs;
}

}  // namespace devices
