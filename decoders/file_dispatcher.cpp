#include "decoders/file_dispatcher.h"

#include <algorithm>

namespace decoders {

namespace {

bool Equal(const std::optional<std::vector<std::uint8_t>>& held,
           std::span<const std::uint8_t> content) {
    return held && std::equal(held->begin(), held->end(), content.begin(), content.end());
}

}  // namespace

FileDispatcher::Completion FileDispatcher::OnContent(std::size_t app,
                                                     std::span<const std::uint8_t> content) {
    Slot& slot = m_slots.at(app);
    if (slot.pending) {
        if (Equal(slot.pending, content)) {
            return Completion::Unchanged;
        }
        if (Equal(slot.written, content)) {
            slot.pending.reset();
            m_order.erase(std::find(m_order.begin(), m_order.end(), app));
            return Completion::Withdrawn;
        }
        slot.pending->assign(content.begin(), content.end());
        return Completion::Superseded;
    }
    if (Equal(slot.written, content)) {
        return Completion::Unchanged;
    }
    slot.pending.emplace(content.begin(), content.end());
    m_order.push_back(app);
    return Completion::Queued;
}

std::uint32_t FileDispatcher::WaitFor(const Slot& slot, std::uint32_t now) const {
    const auto remaining = [now](const std::optional<std::uint32_t>& since, std::uint32_t span) {
        const std::uint32_t elapsed = since ? now - *since : span;
        return elapsed >= span ? 0 : span - elapsed;
    };
    return std::max(remaining(slot.writtenAt, m_intervalMs),
                    remaining(slot.failedAt, std::max(m_intervalMs, kRetryMs)));
}

std::optional<FileDispatcher::Job> FileDispatcher::Next(std::uint32_t now) {
    if (m_waiting) {
        return std::nullopt;
    }
    const auto due = std::find_if(m_order.begin(), m_order.end(),
                                  [&](std::size_t app) { return WaitFor(m_slots[app], now) == 0; });
    if (due == m_order.end()) {
        return std::nullopt;
    }
    const std::size_t app = *due;
    m_order.erase(due);
    Job job{app, std::move(*m_slots[app].pending)};
    m_slots[app].pending.reset();
    return job;
}

void FileDispatcher::Written(Job&& job, std::uint32_t now) {
    Slot& slot = m_slots.at(job.app);
    slot.written = std::move(job.content);
    slot.writtenAt = now;
    slot.failedAt.reset();
}

void FileDispatcher::Failed(Job&& job, std::uint32_t now) {
    Slot& slot = m_slots.at(job.app);
    slot.failedAt = now;
    if (!slot.pending) {
        slot.pending = std::move(job.content);
        m_order.push_front(job.app);
    }
}

std::optional<std::uint32_t> FileDispatcher::NextDueIn(std::uint32_t now) const {
    if (m_waiting) {
        return std::nullopt;
    }
    std::optional<std::uint32_t> first;
    for (const std::size_t app : m_order) {
        const std::uint32_t wait = WaitFor(m_slots[app], now);
        if (!first || wait < *first) {
            first = wait;
        }
    }
    return first;
}

void FileDispatcher::EventRaised(std::uintptr_t parameter, std::uint32_t code) {
    m_waiting = WaitingEvent{parameter, code};
}

bool FileDispatcher::Acknowledge(std::uintptr_t parameter, std::uint32_t code) {
    if (!m_waiting || m_waiting->parameter != parameter || m_waiting->code != code) {
        return false;
    }
    m_waiting.reset();
    return true;
}

}  // namespace decoders
