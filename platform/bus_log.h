// Lines of the bus transport's diagnostics in the debug output.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace platform {

// Writes "dmbtpeg bus: <text>\n".
void BusLog(std::string_view text);

// Lines about refused calls, limited per sender (its unique bus name), so that
// a process flooding us with bad calls cannot flood the log: the first
// kFullLines refusals of each sender are written as given; after that at most
// one line per kSummaryIntervalMs (platform clock) tells how many of its calls
// were refused since the last line, and one more when the sender leaves the
// bus. Not thread-safe; the functions below share one for the process.
class BusRefusalLog {
  public:
    static constexpr unsigned kFullLines = 5;
    static constexpr DWORD kSummaryIntervalMs = 10000;

    void Refused(std::string_view sender, std::string_view line,
                 Clock::time_point now = Clock::now());
    // Tells what was not told yet and forgets the sender.
    void SenderLeft(std::string_view sender);
    // Forgets every sender without a word (the connection is gone).
    void Clear() { m_senders.clear(); }

  private:
    struct Sender {
        unsigned fullLines = 0;
        std::uint64_t untold = 0;
        Clock::time_point lastLine{};
    };
    std::map<std::string, Sender, std::less<>> m_senders;
};

// The process's refusal log, from any thread. `sender` is the caller's unique
// name ("?" when the message names none).
void BusLogRefusal(std::string_view sender, std::string_view line);
void BusLogSenderLeft(std::string_view sender);
// The connection is gone, and with it every sender.
void BusLogForgetSenders();

}  // namespace platform
