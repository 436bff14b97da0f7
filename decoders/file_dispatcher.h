// Which data file to write next, and when.
//
// Per application it keeps the bytes last written and the newest content not
// written yet. Content equal to the file on disk is nothing to do; newer
// content replaces the one still waiting, so the file always ends up holding
// the newest. Files go out in the order their content first changed, one event at a
// time: after an event is raised nothing more is written until it has been
// acknowledged (or forgotten, when decoding restarts).
//
// A file is written at most once per interval: content changing again within
// the interval after the application's last write waits until the interval
// has passed, and then the newest content goes out once. Other applications'
// files are not held up by it. Times are platform milliseconds
// (platform::GetTickCount), compared by difference so the count may wrap.
//
// A file that could not be written stays waiting (unless newer content took
// its place meanwhile) and is tried again after the interval, at least
// kRetryMs: a full or failing disk is retried without being hammered.
//
// Not thread safe: the owner serialises the calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "broadcast/tpeg_application.h"

namespace decoders {

class FileDispatcher {
  public:
    enum class Completion {
        Unchanged,   // equal to the file on disk, or to the content already waiting
        Queued,      // waiting to be written
        Superseded,  // replaced waiting content that was never written
        Withdrawn,   // equal to the file on disk: the waiting content was dropped
    };

    struct Job {
        std::size_t app = 0;
        std::vector<std::uint8_t> content;
    };

    // 0: no interval, every change is written as soon as the event allows.
    explicit FileDispatcher(std::uint32_t intervalMs = 0) : m_intervalMs(intervalMs) {}

    Completion OnContent(std::size_t app, std::span<const std::uint8_t> content);

    // The next file due at `now`, unless an event still waits for its acknowledgement.
    std::optional<Job> Next(std::uint32_t now);
    // The job's bytes are on disk (ownership of content comes back).
    void Written(Job&& job, std::uint32_t now);
    // The job's bytes could not be written: they wait to be tried again.
    void Failed(Job&& job, std::uint32_t now);

    static constexpr std::uint32_t kRetryMs = 1000;
    // Milliseconds from `now` until the first file held back by the interval is due; nullopt
    // when none is, or when an event waits (its acknowledgement wakes the writer anyway).
    std::optional<std::uint32_t> NextDueIn(std::uint32_t now) const;

    void EventRaised(std::uintptr_t parameter, std::uint32_t code);
    // True when parameter and code name the event waiting for its acknowledgement.
    bool Acknowledge(std::uintptr_t parameter, std::uint32_t code);
    bool WaitingForAcknowledgement() const { return m_waiting.has_value(); }
    void ForgetWaitingEvent() { m_waiting.reset(); }

  private:
    struct Slot {
        std::optional<std::vector<std::uint8_t>> written;
        std::optional<std::vector<std::uint8_t>> pending;
        std::optional<std::uint32_t> writtenAt;
        std::optional<std::uint32_t> failedAt;  // of the last try, while tries fail
    };
    struct WaitingEvent {
        std::uintptr_t parameter;
        std::uint32_t code;
    };

    // Milliseconds until the slot may be written again; 0 when it may now.
    std::uint32_t WaitFor(const Slot& slot, std::uint32_t now) const;

    const std::uint32_t m_intervalMs;
    std::array<Slot, broadcast::kTpegApplicationCount> m_slots;
    std::deque<std::size_t> m_order;
    std::optional<WaitingEvent> m_waiting;
};

}  // namespace decoders
