#include "platform/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "platform/text.h"

namespace platform {
namespace {

void WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

int DebugFd() {
    static const int fd = [] {
        const char* path = std::getenv("DMBTPEG_LOG");
        if (path && *path) {
            int f = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (f >= 0) {
                return f;
            }
            std::string msg = std::string("dmbtpeg: cannot open DMBTPEG_LOG '") + path +
                              "', writing debug output to stderr\n";
            WriteAll(2, msg);
        }
        return 2;
    }();
    return fd;
}

class StandardSink : public LogSink {
public:
    void Write(std::u16string_view text) override { WriteAll(DebugFd(), ToUtf8(text)); }
};

StandardSink gStandardSink;
std::atomic<LogSink*> gSink{&gStandardSink};
std::atomic<ScopedMessageBoxCapture*> gMessageBoxCapture{nullptr};

}  // namespace

void DebugOutput(std::u16string_view text) { gSink.load(std::memory_order_acquire)->Write(text); }

ScopedLogSink::ScopedLogSink(LogSink& sink) : m_previous(gSink.exchange(&sink)) {}
ScopedLogSink::~ScopedLogSink() { gSink.store(m_previous); }

void ConsolePrint(std::string_view text) { WriteAll(1, text); }

int MessageBox(HWND /*owner*/, const WCHAR* text, const WCHAR* caption, UINT /*type*/) {
    if (auto* capture = gMessageBoxCapture.load(std::memory_order_acquire)) {
        capture->Record(text ? std::u16string_view(text) : std::u16string_view());
        return IDOK;
    }
    std::string line;
    if (caption && *caption) {
        line = ToUtf8(caption) + ": ";
    }
    line += ToUtf8(text ? std::u16string_view(text) : std::u16string_view());
    line += '\n';
    WriteAll(2, line);
    return IDOK;
}

ScopedMessageBoxCapture::ScopedMessageBoxCapture() : m_previous(gMessageBoxCapture.exchange(this)) {}
ScopedMessageBoxCapture::~ScopedMessageBoxCapture() { gMessageBoxCapture.store(m_previous); }

std::vector<std::u16string> ScopedMessageBoxCapture::Texts() const {
    std::lock_guard lock(m_mutex);
    return m_texts;
}

void ScopedMessageBoxCapture::Record(std::u16string_view text) {
    std::lock_guard lock(m_mutex);
    m_texts.emplace_back(text);
}

}  // namespace platform
