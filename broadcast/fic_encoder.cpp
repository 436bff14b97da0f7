#include <algorithm>

#include "broadcast/fic.h"

namespace broadcast {

FicEncoder::FicEncoder(const EnsembleDescription& ensemble, FicRates rates)
    : m_eid(ensemble.eid),
      m_rates{std::max<std::uint32_t>(rates.fast, 1), std::max<std::uint32_t>(rates.slow, 1)} {
    std::vector<Fig> fast;
    AppendFig0_1(ensemble.subChannels, fast);
    AppendFig0_2(ensemble.services, false, fast);
    AppendFig0_2(ensemble.services, true, fast);
    AppendFig0_3(ensemble.services, fast);
    Schedule(std::move(fast), m_rates.fast);
    std::vector<Fig> slow;
    AppendFig0_8(ensemble.services, slow);
    AppendFig0_13(ensemble.services, slow);
    AppendFig0_14(ensemble, slow);
    slow.push_back(EncodeFig1_0(ensemble.eid, ensemble.label));
    for (const Service& s : ensemble.services) {
        if (s.scids == 0) {
            slow.push_back(s.longSid ? EncodeFig1_5(s.sid, s.label)
                                     : EncodeFig1_1(static_cast<std::uint16_t>(s.sid), s.label));
        }
    }
    Schedule(std::move(slow), m_rates.slow);
}

void FicEncoder::AddFigs(std::vector<Fig> figs, std::uint32_t period) {
    Schedule(std::move(figs), std::max<std::uint32_t>(period, 1));
}

void FicEncoder::Schedule(std::vector<Fig> figs, std::uint32_t period) {
    for (Fig& fig : figs) {
        if (fig.empty() || fig.size() > kFibDataSize) {
            continue;
        }
        // Slower FIGs are spread over their period, one frame apart, rather than all due at once.
        const std::uint32_t phase = period > m_rates.fast ? (m_slowCount++ * 3 + 1) % period : 0;
        m_figs.push_back({std::move(fig), period, phase, false});
    }
}

void FicEncoder::Fill(std::uint32_t frameNumber, std::span<std::uint8_t> fic) {
    for (std::size_t i = 0; i < m_figs.size(); ++i) {
        Scheduled& s = m_figs[i];
        if (!s.pending && frameNumber % s.period == s.phase) {
            s.pending = true;
            m_queue.push_back(i);
        }
    }
    FibWriter writer;
    if (frameNumber % m_rates.fast == 0) {
        writer.Add(EncodeFig0_0(m_eid, static_cast<std::uint16_t>(frameNumber % 5000)));
    }
    // The time is only right in the frame it was made for, so it never waits in the queue.
    if (m_firstFrameUtcMs && frameNumber % kTimePeriodFrames == 0) {
        if (const auto time = FigDateTimeAt(*m_firstFrameUtcMs + std::int64_t{24} * frameNumber)) {
            writer.Add(EncodeFig0_10(*time));
        }
    }
    const std::size_t fibs = fic.size() / kFibSize;
    for (std::size_t fib = 0; fib < fibs; ++fib) {
        // In the order they fell due, so that services go out in the order described.
        while (!m_queue.empty() && writer.Add(m_figs[m_queue.front()].fig)) {
            m_figs[m_queue.front()].pending = false;
            m_queue.erase(m_queue.begin());
        }
        writer.Finish(fic.subspan(fib * kFibSize, kFibSize));
    }
}

}  // namespace broadcast
