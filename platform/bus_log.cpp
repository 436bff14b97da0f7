#include "platform/bus_log.h"

#include <fmt/format.h>

#include <mutex>
#include <string>

#include "platform/log.h"
#include "platform/text.h"

namespace platform {
namespace {

std::mutex gRefusalsLock;

// Never destroyed: the bus thread may still refuse a call while the process
// exits.
BusRefusalLog& Refusals() {
    static auto* refusals = new BusRefusalLog;
    return *refusals;
}

}  // namespace

void BusLog(std::string_view text) {
    std::string line = "dmbtpeg bus: ";
    line += text;
    line += '\n';
    DebugOutput(FromUtf8(line));
}

void BusRefusalLog::Refused(std::string_view sender, std::string_view line, Clock::time_point now) {
    auto it = m_senders.find(sender);
    if (it == m_senders.end()) {
        it = m_senders.emplace(std::string(sender), Sender{}).first;
    }
    Sender& state = it->second;
    if (state.fullLines < kFullLines) {
        ++state.fullLines;
        state.lastLine = now;
        BusLog(line);
        return;
    }
    ++state.untold;
    if (now - state.lastLine < ScaledDuration(kSummaryIntervalMs)) {
        return;
    }
    BusLog(fmt::format("refused {} more calls from {} since the last line about it; latest: {}",
                       state.untold, sender, line));
    state.untold = 0;
    state.lastLine = now;
}

void BusRefusalLog::SenderLeft(std::string_view sender) {
    auto it = m_senders.find(sender);
    if (it == m_senders.end()) {
        return;
    }
    if (it->second.untold > 0) {
        BusLog(fmt::format("refused {} more calls from {} since the last line about it; it left",
                           it->second.untold, sender));
    }
    m_senders.erase(it);
}

void BusLogRefusal(std::string_view sender, std::string_view line) {
    std::lock_guard lock(gRefusalsLock);
    Refusals().Refused(sender, line);
}

void BusLogSenderLeft(std::string_view sender) {
    std::lock_guard lock(gRefusalsLock);
    Refusals().SenderLeft(sender);
}

void BusLogForgetSenders() {
    std::lock_guard lock(gRefusalsLock);
    Refusals().Clear();
}

}  // namespace platform
