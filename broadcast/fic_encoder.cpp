#include "broadcast/fic.h"

namespace broadcast {

FicEncoder::FicEncoder(const EnsembleDescription& ensemble) : m_eid(ensemble.eid) {
    AppendFig0_1(ensemble.subChannels, m_figs);
    AppendFig0_2(ensemble.services, false, m_figs);
    AppendFig0_2(ensemble.services, true, m_figs);
    AppendFig0_3(ensemble.services, m_figs);
    AppendFig0_13(ensemble.services, m_figs);
    AppendFig0_14(ensemble, m_figs);
    m_figs.push_back(EncodeFig1_0(ensemble.eid, ensemble.label));
    for (const Service& s : ensemble.services) {
        m_figs.push_back(s.longSid ? EncodeFig1_5(s.sid, s.label)
                                   : EncodeFig1_1(static_cast<std::uint16_t>(s.sid), s.label));
    }
}

void FicEncoder::Fill(std::uint32_t frameNumber, std::span<std::uint8_t> fic) {
    FibWriter writer;
    writer.Add(EncodeFig0_0(m_eid, static_cast<std::uint16_t>(frameNumber % 5000)));
    const std::size_t fibs = fic.size() / kFibSize;
    for (std::size_t fib = 0; fib < fibs; ++fib) {
        // At most one pass over the carousel per FIB, so a FIG too large never loops forever.
        for (std::size_t tried = 0; tried < m_figs.size() && writer.Free() > 0; ++tried) {
            if (!writer.Add(m_figs[m_next])) {
                break;
            }
            m_next = (m_next + 1) % m_figs.size();
        }
        writer.Finish(fic.subspan(fib * kFibSize, kFibSize));
    }
}

}  // namespace broadcast
