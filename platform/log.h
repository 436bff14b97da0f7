// Debug output, console and message box.
//
// The service writes every diagnostic as one wide line through DebugOutput.
// Each call is written with a single write(2), so lines of concurrent threads
// never mix inside a call; nothing is added or removed (line ends are the
// caller's). Output goes to stderr, or appended to the file named by
// DMBTPEG_LOG.
//
// When systemd connected stderr to the journal, the lines go to the journal as
// entries of their own instead of the stderr copy (a file named by DMBTPEG_LOG
// is still written): see JournalSink.
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

// One journal entry's destination. The default one sends the entry with
// sd-journal; tests install their own with ScopedJournalWriter.
class JournalWriter {
  public:
    virtual ~JournalWriter() = default;
    // `message` is one line without its line end, UTF-8.
    virtual void Send(int priority, std::string_view identifier, std::string_view message) = 0;
};

// Replaces the default sink's journal writer while it lives.
class ScopedJournalWriter {
  public:
    explicit ScopedJournalWriter(JournalWriter& writer);
    ~ScopedJournalWriter();
    ScopedJournalWriter(const ScopedJournalWriter&) = delete;
    ScopedJournalWriter& operator=(const ScopedJournalWriter&) = delete;

  private:
    JournalWriter* m_previous;
};

// Cuts debug output into journal entries, one per line, so that an entry reads
// as the line does on stderr without its line end (CR LF or LF). Text written
// without a line end is an entry of its own: the next write never continues
// it. Empty lines make no entry, so a line end that starts the next write ends
// that text as on stderr without adding one.
class JournalSink : public LogSink {
  public:
    JournalSink(JournalWriter& writer, std::string identifier);
    void Write(std::u16string_view text) override;
    void WriteUtf8(std::string_view text);

  private:
    void Send(std::string_view line);

    JournalWriter& m_writer;
    const std::string m_identifier;
};

// The syslog priority of a debug line in the journal.
int JournalPriority(std::string_view line);

// Whether `fd` is the journal stream systemd describes in `journalStream` (the
// value of JOURNAL_STREAM, "device:inode"; null when unset).
bool IsJournalStream(const char* journalStream, int fd);

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
