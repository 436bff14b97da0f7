#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "broadcast/ensemble.h"
#include "broadcast/fig.h"
#include "broadcast/msc_data_path.h"

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
    BadFig,  // a FIG runs past the FIB or past its own length, or holds impossible values
};

const char* ToString(FibError error);

// Checks a FIB and hands its FIGs of types 0 and 1 to sink (other types and unknown extensions
// are skipped). Nothing reaches the sink from a FIB whose CRC fails. A FIG with impossible
// content (FigError::Invalid) is skipped and makes the FIB BadFig, but the FIGs beside it
// still reach the sink.
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

// How often the FIC encoder repeats each kind of FIG, in 24 ms frames. The defaults follow the
// repetition rates recommended for DAB: FIG 0/0 in every 96 ms transmission frame, the
// multiplex configuration (FIG 0/1, 0/2, 0/3) about ten times a second, FIG 0/8, 0/13, 0/14
// and the labels about once a second. Short test recordings use 1 for both, so that the whole
// description goes out within a frame or two.
struct FicRates {
    std::uint32_t fast = 4;
    std::uint32_t slow = 40;
};

// Makes the FIC of each frame for one ensemble: FIG 0/0 (with the frame's CIF count) first in
// the frames that start a transmission frame, the other FIGs each when due by its rate. A FIG
// due while the FIC is full waits for the next frame and is never queued twice.
class FicEncoder {
  public:
    // FIG 0/10 goes out about once a second (42 frames, 1.008 s).
    static constexpr std::uint32_t kTimePeriodFrames = 42;

    explicit FicEncoder(const EnsembleDescription& ensemble, FicRates rates = {});
    // Sends figs as well, every period frames (e.g. FIGs a receiver must ignore).
    void AddFigs(std::vector<Fig> figs, std::uint32_t period);
    // Sends the date and time (FIG 0/10, long form) in frame 0 and every kTimePeriodFrames
    // frames, right after FIG 0/0: frame n is 24 ms times n after firstFrameUtcMs
    // (milliseconds since 1970-01-01 00:00 UTC).
    void SendTime(std::int64_t firstFrameUtcMs) { m_firstFrameUtcMs = firstFrameUtcMs; }
    void Fill(std::uint32_t frameNumber, std::span<std::uint8_t> fic);

  private:
    struct Scheduled {
        Fig fig;
        std::uint32_t period = 1;
        std::uint32_t phase = 0;
        bool pending = false;
    };
    void Schedule(std::vector<Fig> figs, std::uint32_t period);

    std::uint16_t m_eid;
    FicRates m_rates;
    std::vector<Scheduled> m_figs;
    std::vector<std::size_t> m_queue;
    std::uint32_t m_slowCount = 0;
    std::optional<std::int64_t> m_firstFrameUtcMs;
};

// Accumulates an ensemble description from FIBs. Services are listed once they have a
// primary component; their labels, packet components and user applications join as they arrive,
// and a later FIG replaces what an earlier one said. A secondary packet-mode component with the
// TPEG user application is listed as a data service of its own (same SId, its SCIdS).
//
// The FIC is untrusted: each table keeps at most kMaxFicEntries entries, further ones are
// dropped and counted, so that a long stream of invented identifiers cannot grow memory.
class FicDecoder : public FigSink {
  public:
    static constexpr std::size_t kMaxFicEntries = 512;

    FibError PushFib(std::span<const std::uint8_t> fib);
    // Pushes every FIB of a frame's FIC; returns the number of FIBs with a bad CRC.
    std::size_t PushFic(std::span<const std::uint8_t> fic);

    EnsembleDescription Ensemble() const;
    bool HasEnsembleInfo() const { return m_haveEid; }
    // True once the ensemble label and every known service's label and component are there.
    bool IsComplete() const;
    // Changes whenever something new was learnt.
    std::size_t Revision() const { return m_revision; }
    // Entries refused because a table was full.
    std::size_t Dropped() const { return m_dropped; }

    // The latest date and time (FIG 0/10) received, and the FIC it came in, counted by PushFic
    // from 1. A time does not change Revision: it says nothing about the ensemble.
    struct Time {
        FigDateTime fig;
        std::int64_t utcSeconds = 0;
        std::size_t fic = 0;
    };
    const std::optional<Time>& LatestTime() const { return m_time; }
    // FICs pushed with PushFic.
    std::size_t FicCount() const { return m_fics; }

    // The TPEG component of service `sid` in sub-channel `subChannelId`, as the data path word
    // carries it: not known until FIG 0/2 and FIG 0/3 have described a packet-mode component
    // of the service there. Of several, the one FIG 0/13 marks as TPEG is taken.
    PacketComponentInfo TpegComponent(std::uint32_t sid, std::uint8_t subChannelId) const;

    void OnEnsembleInfo(std::uint16_t eid, std::uint16_t cifCount) override;
    void OnSubChannel(const SubChannel& subChannel) override;
    void OnService(const FigService& service) override;
    void OnPacketComponent(const FigPacketComponent& component) override;
    void OnUserApplications(std::uint32_t sid, std::uint8_t scids,
                            std::span<const std::uint16_t> types) override;
    void OnComponentLink(const FigComponentLink& link) override;
    void OnFecScheme(std::uint8_t subChannelId, std::uint8_t scheme) override;
    void OnEnsembleLabel(std::uint16_t eid, std::string_view label) override;
    void OnServiceLabel(std::uint32_t sid, std::string_view label) override;
    void OnDateTime(const FigDateTime& time) override;

  private:
    struct ServiceEntry {
        FigService fig;
        std::size_t order = 0;
    };
    // (SId, SCIdS)
    using ComponentKey = std::pair<std::uint32_t, std::uint8_t>;

    // Stores value under key, counting a change; a new key is dropped when the table is full.
    template <typename Map, typename Value>
    void Store(Map& map, const typename Map::key_type& key, const Value& value);
    // The SCIdS of a packet-mode component of the service: 0 for the primary one, otherwise
    // from FIG 0/8, or, without FIG 0/8, the only secondary SCIdS FIG 0/13 names for a service
    // with a single secondary packet-mode component.
    std::optional<std::uint8_t> ScidsOf(const FigService& service,
                                        const FigServiceComponent& component) const;
    bool IsTpeg(std::uint32_t sid, std::optional<std::uint8_t> scids) const;

    std::uint16_t m_eid = 0;
    bool m_haveEid = false;
    std::string m_label;
    bool m_haveLabel = false;
    std::map<std::uint8_t, SubChannel> m_subChannels;
    std::map<std::uint8_t, std::uint8_t> m_fec;
    std::map<std::uint32_t, ServiceEntry> m_services;
    std::map<std::uint16_t, FigPacketComponent> m_packetComponents;
    std::map<ComponentKey, std::vector<std::uint16_t>> m_userApplications;
    std::map<ComponentKey, FigComponentLink> m_links;
    std::map<std::uint32_t, std::string> m_labels;
    std::size_t m_revision = 0;
    std::size_t m_dropped = 0;
    std::optional<Time> m_time;
    std::size_t m_fics = 0;
};

}  // namespace broadcast
