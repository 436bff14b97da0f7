#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "broadcast/ensemble.h"
#include "broadcast/fig.h"

namespace broadcast {

// Fast information blocks: 30 bytes of FIGs (closed by an end marker 0xFF and zero padding when
// not full) and a CRC over them. The FIC of a 24 ms frame holds 3 FIBs, 4 in mode III.
inline constexpr std::size_t kFibSize = 32;
inline constexpr std::size_t kFibDataSize = 30;

inline constexpr std::size_t FicSize(unsigned mode) {
    return mode == 3 ? 128 : 96;
}

enum class FibError {
    None,
    TooShort,
    BadCrc,
    BadFig,  // a FIG runs past the FIB or past its own length
};

const char* ToString(FibError error);

// Checks a FIB and hands its FIGs of types 0 and 1 to sink (other types and unknown extensions
// are skipped). Nothing reaches the sink from a FIB whose CRC fails.
FibError ParseFib(std::span<const std::uint8_t> fib, FigSink& sink);

// Fills one FIB from FIGs. Add refuses a FIG that does not fit the space left.
class FibWriter {
  public:
    bool Add(std::span<const std::uint8_t> fig);
    std::size_t Free() const { return kFibDataSize - m_used; }
    // Writes kFibSize bytes and starts an empty FIB.
    void Finish(std::span<std::uint8_t> out);

  private:
    std::uint8_t m_data[kFibDataSize] = {};
    std::size_t m_used = 0;
};

// Makes the FIC of each frame for one ensemble: FIG 0/0 (with the frame's CIF count) first in
// every frame, the other FIGs in a carousel, so that the whole description repeats every few
// frames.
class FicEncoder {
  public:
    explicit FicEncoder(const EnsembleDescription& ensemble);
    void Fill(std::uint32_t frameNumber, std::span<std::uint8_t> fic);

  private:
    std::uint16_t m_eid;
    std::vector<Fig> m_figs;
    std::size_t m_next = 0;
};

// Accumulates an ensemble description from FIBs. Services are listed once they have a
// primary component; their labels, packet components and user applications join as they arrive.
class FicDecoder : public FigSink {
  public:
    FibError PushFib(std::span<const std::uint8_t> fib);
    // Pushes every FIB of a frame's FIC; returns the number of FIBs with a bad CRC.
    std::size_t PushFic(std::span<const std::uint8_t> fic);

    EnsembleDescription Ensemble() const;
    bool HasEnsembleInfo() const { return m_haveEid; }
    // True once the ensemble label and every known service's label and component are there.
    bool IsComplete() const;
    // Changes whenever something new was learnt.
    std::size_t Revision() const { return m_revision; }

    void OnEnsembleInfo(std::uint16_t eid, std::uint16_t cifCount) override;
    void OnSubChannel(const SubChannel& subChannel) override;
    void OnService(const FigService& service) override;
    void OnPacketComponent(const FigPacketComponent& component) override;
    void OnUserApplication(std::uint32_t sid, std::uint8_t scids, std::uint16_t type) override;
    void OnFecScheme(std::uint8_t subChannelId, std::uint8_t scheme) override;
    void OnEnsembleLabel(std::uint16_t eid, std::string_view label) override;
    void OnServiceLabel(std::uint32_t sid, std::string_view label) override;

  private:
    struct ServiceEntry {
        FigService fig;
        std::size_t order = 0;
    };

    std::uint16_t m_eid = 0;
    bool m_haveEid = false;
    std::string m_label;
    bool m_haveLabel = false;
    std::map<std::uint8_t, SubChannel> m_subChannels;
    std::map<std::uint8_t, std::uint8_t> m_fec;
    std::map<std::uint32_t, ServiceEntry> m_services;
    std::map<std::uint16_t, FigPacketComponent> m_packetComponents;
    std::map<std::uint32_t, std::uint16_t> m_userApplications;
    std::map<std::uint32_t, std::string> m_labels;
    std::size_t m_revision = 0;
};

}  // namespace broadcast
