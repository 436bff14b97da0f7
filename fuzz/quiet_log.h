// Keeps a fuzz target's log lines and message boxes out of its output: most
// inputs are damaged on purpose, and every one of them is reported.
#pragma once

#include <string_view>

#include "platform/log.h"

namespace fuzzing {

inline void SilenceLogs() {
    class SilentSink : public platform::LogSink {
      public:
        void Write(std::u16string_view) override {}
    };
    static SilentSink sink;
    static platform::ScopedLogSink quiet(sink);
    static platform::ScopedMessageBoxCapture boxes;
}

}  // namespace fuzzing
