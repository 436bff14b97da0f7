#include "decoders/file_dispatcher.h"

#include <algorithm>

namespace decoders {

namespace {

bool Equal(const std::optional<std::vector<std::uint8_t>>& held,
           std::span<const std::uint8_t> content) {
    return held && std::equal(held->begin(), held->end(), content.begin(), content.end());
}

}  // namespace

FileDispatcher::Completion FileDispatcher::OnComplete(std::size_t app,
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

std::optional<FileDispatcher::Job> FileDispatcher::Next() {
    if (m_waiting || m_order.empty()) {
        return std::nullopt;
    }
    const std::size_t app = m_order.front();
    m_order.pop_front();
    Job job{app, std::move(*m_slots[app].pending)};
    m_slots[app].pending.reset();
    return job;
}

void FileDispatcher::Written(Job&& job) {
    m_slots.at(job.app).written = std::move(job.content);
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
