#include "devices/signal_meter.h"

#include <algorithm>

namespace devices {

void SignalMeter::Record(std::uint64_t generation, FrameOutcome outcome) {
    std::lock_guard lock(m_mutex);
    if (generation != m_reading.generation) {
        m_reading = SignalReading{};
        m_reading.generation = generation;
        m_window.reset();
    }
    const bool received = outcome == FrameOutcome::Received;
    m_window[m_reading.periods % kQualityWindow] = received;
    ++m_reading.periods;
    if (received) {
        ++m_reading.received;
        m_reading.periodsSinceReceived = 0;
    } else {
        ++m_reading.periodsSinceReceived;
        if (outcome == FrameOutcome::Lost) {
            ++m_reading.lost;
        }
    }
    const auto window = std::min(m_reading.periods, kQualityWindow);
    m_reading.qualityPercent = static_cast<std::int32_t>(m_window.count() * 100 / window);
}

SignalReading SignalMeter::Read() const {
    std::lock_guard lock(m_mutex);
    return m_reading;
}

}  // namespace devices
