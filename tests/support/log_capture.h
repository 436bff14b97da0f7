// A debug output sink that keeps every call, for tests that check what the
// service reported. Install it with platform::ScopedLogSink.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "platform/text.h"

namespace testsupport {

class CapturingLogSink : public platform::LogSink {
  public:
    void Write(std::u16string_view text) override {
        std::lock_guard lock(m_mutex);
        m_lines.emplace_back(text);
    }
    // Every call, exactly as given.
    std::vector<std::u16string> Lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    // All calls concatenated, as UTF-8, for readable test failures.
    std::string Text() const {
        std::string text;
        for (const auto& line : Lines()) {
            text += platform::ToUtf8(line);
        }
        return text;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::u16string> m_lines;
};

}  // namespace testsupport
