#include "platform/log.h"

// Entries carry the service's own words only, not the place in this file that
// sent them.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
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

class SdJournalWriter : public JournalWriter {
  public:
    void Send(int priority, std::string_view identifier, std::string_view message) override {
        std::array<std::string, 3> fields = {"MESSAGE=" + std::string(message),
                                             "PRIORITY=" + std::to_string(priority),
                                             "SYSLOG_IDENTIFIER=" + std::string(identifier)};
        std::array<iovec, 3> iov{};
        for (std::size_t i = 0; i < iov.size(); ++i) {
            iov[i].iov_base = fields[i].data();
            iov[i].iov_len = fields[i].size();
        }
        // A lost entry cannot be reported anywhere better: stderr is the
        // journal's own stream.
        sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
    }
};

SdJournalWriter gSdJournalWriter;
std::atomic<JournalWriter*> gJournalWriter{&gSdJournalWriter};

// Asks for the installed writer at every entry, so that a writer installed
// after the first line still gets the entries.
class InstalledJournalWriter : public JournalWriter {
  public:
    void Send(int priority, std::string_view identifier, std::string_view message) override {
        gJournalWriter.load(std::memory_order_acquire)->Send(priority, identifier, message);
    }
};

InstalledJournalWriter gInstalledJournalWriter;

struct DebugOutputs {
    int fd;                // stderr, the DMBTPEG_LOG file, or -1
    JournalSink* journal;  // null unless stderr is the journal
};

const DebugOutputs& Outputs() {
    static const DebugOutputs outputs = [] {
        DebugOutputs o{2, nullptr};
        if (IsJournalStream(std::getenv("JOURNAL_STREAM"), 2)) {
            // Never destroyed: threads may still write while the process
            // exits.
            o.journal = new JournalSink(gInstalledJournalWriter, program_invocation_short_name);
            o.fd = -1;
        }
        const char* path = std::getenv("DMBTPEG_LOG");
        if (path && *path) {
            int f = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (f >= 0) {
                o.fd = f;
                return o;
            }
            std::string msg = std::string("dmbtpeg: cannot open DMBTPEG_LOG '") + path +
                              "', writing debug output to stderr\n";
            WriteAll(2, msg);
        }
        return o;
    }();
    return outputs;
}

class StandardSink : public LogSink {
  public:
    void Write(std::u16string_view text) override {
        const DebugOutputs& outputs = Outputs();
        std::string bytes = ToUtf8(text);
        if (outputs.journal) {
            outputs.journal->WriteUtf8(bytes);
        }
        if (outputs.fd >= 0) {
            WriteAll(outputs.fd, bytes);
        }
    }
};

StandardSink gStandardSink;
std::atomic<LogSink*> gSink{&gStandardSink};
std::atomic<ScopedMessageBoxCapture*> gMessageBoxCapture{nullptr};

}  // namespace

void DebugOutput(std::u16string_view text) {
    gSink.load(std::memory_order_acquire)->Write(text);
}

ScopedLogSink::ScopedLogSink(LogSink& sink) : m_previous(gSink.exchange(&sink)) {}
ScopedLogSink::~ScopedLogSink() {
    gSink.store(m_previous);
}

ScopedJournalWriter::ScopedJournalWriter(JournalWriter& writer)
    : m_previous(gJournalWriter.exchange(&writer)) {}
ScopedJournalWriter::~ScopedJournalWriter() {
    gJournalWriter.store(m_previous);
}

JournalSink::JournalSink(JournalWriter& writer, std::string identifier)
    : m_writer(writer), m_identifier(std::move(identifier)) {}

void JournalSink::Write(std::u16string_view text) {
    WriteUtf8(ToUtf8(text));
}

// Every write is cut on its own: the next write, maybe another thread's,
// never continues a line, so the sink keeps no state and needs no lock.
void JournalSink::WriteUtf8(std::string_view text) {
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (end != std::string_view::npos && line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        // Blank lines only space out a console; journald drops them from a
        // stream too. A line end starting a write thus never adds an entry
        // after text written without one.
        if (!line.empty()) {
            Send(line);
        }
    }
}

void JournalSink::Send(std::string_view line) {
    m_writer.Send(JournalPriority(line), m_identifier, line);
}

// The service's lines carry no level of their own; the words that report
// something going wrong make a line a warning, everything else is
// information. The decoder library reports its failures in Korean.
int JournalPriority(std::string_view line) {
    static constexpr std::string_view kTroubleWords[] = {
        "fail",    "error", "cannot",        "could not",     "couldn't",  "not written",
        "refused", "lost",  "not delivered", "not available", "not found", "did not",
        "aborted", "lacks", "out of memory", "실패",          "에러"};
    std::string lower(line);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    for (std::string_view word : kTroubleWords) {
        if (lower.find(word) != std::string::npos) {
            return LOG_WARNING;
        }
    }
    return LOG_INFO;
}

// systemd sets JOURNAL_STREAM to the device and inode numbers (decimal) of
// the stream it connected; a program's stderr is that stream only if fstat
// agrees, since the variable is inherited by processes whose stderr is
// something else.
bool IsJournalStream(const char* journalStream, int fd) {
    if (!journalStream) {
        return false;
    }
    std::string_view value(journalStream);
    std::size_t colon = value.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    auto number = [](std::string_view digits, unsigned long long& out) {
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
        return ec == std::errc() && end == digits.data() + digits.size() && !digits.empty();
    };
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (!number(value.substr(0, colon), device) || !number(value.substr(colon + 1), inode)) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    return static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

void ConsolePrint(std::string_view text) {
    WriteAll(1, text);
}

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

ScopedMessageBoxCapture::ScopedMessageBoxCapture()
    : m_previous(gMessageBoxCapture.exchange(this)) {}
ScopedMessageBoxCapture::~ScopedMessageBoxCapture() {
    gMessageBoxCapture.store(m_previous);
}

std::vector<std::u16string> ScopedMessageBoxCapture::Texts() const {
    std::lock_guard lock(m_mutex);
    return m_texts;
}

void ScopedMessageBoxCapture::Record(std::u16string_view text) {
    std::lock_guard lock(m_mutex);
    m_texts.emplace_back(text);
}

}  // namespace platform
