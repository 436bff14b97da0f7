// Debug output, console and message box.
//
// The service writes every diagnostic as one wide line through DebugOutput.
// Each call is written with a single write(2), so lines of concurrent threads
// never mix inside a call; nothing is added or removed (line ends are the
// caller's). Output goes to stderr, or appended to the file named by
// DMBTPEG_LOG.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace platform {

void DebugOutput(std::u16string_view text);

// Where debug output goes. Tests install a capturing sink; the default sink
// writes UTF-8 to stderr or DMBTPEG_LOG.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Write(std::u16string_view text) = 0;
};

// Installs `sink` for the whole process until the returned guard is destroyed.
class ScopedLogSink {
public:
    explicit ScopedLogSink(LogSink& sink);
    ~ScopedLogSink();
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

private:
    LogSink* m_previous;
};

// Narrow console output to stdout, written as given (no line end added).
void ConsolePrint(std::string_view text);

inline constexpr UINT MB_OK = 0x00000000;
inline constexpr int IDOK = 1;

// There is no screen: the text goes to stderr as a line of its own and the
// call returns at once as if the user had confirmed it.
int MessageBox(HWND owner, const WCHAR* text, const WCHAR* caption, UINT type);

// Records the texts of message boxes shown while it lives, instead of printing
// them; for tests.
class ScopedMessageBoxCapture {
public:
    ScopedMessageBoxCapture();
    ~ScopedMessageBoxCapture();
    ScopedMessageBoxCapture(const ScopedMessageBoxCapture&) = delete;
    ScopedMessageBoxCapture& operator=(const ScopedMessageBoxCapture&) = delete;

    std::vector<std::u16string> Texts() const;
    void Record(std::u16string_view text);

private:
    mutable std::mutex m_mutex;
    std::vector<std::u16string> m_texts;
    ScopedMessageBoxCapture* m_previous;
};

}  // namespace platform
