// Plays the tuned recording one frame per call, for the streaming thread.
//
// Each call looks at the broadcast folder afresh (its name is taken at each
// tune): SIGNAL_OFF silences it, a recording that disappears
// goes silent, one replaced by another file (or rewritten, changing its size
// or time) is opened again, the end of the file loops to its first frame.
// Bad frames are skipped; each kind of problem is logged once per tune, never
// once per frame. Like a receiver, it keeps decoding the FIC of every frame it
// plays (afresh at each tune and for a replaced file), so that what a frame
// says about the tuned service's TPEG component follows reconfigurations, and
// the ensemble's date and time (FIG 0/10) is passed on from the frame that
// brought it. Used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>

#include "broadcast/eti_reader.h"
#include "broadcast/fic.h"
#include "broadcast/msc_data_path.h"
#include "devices/problem_log.h"
#include "devices/signal_meter.h"

namespace devices {

struct Tuning {
    std::uint64_t generation = 0;  // changes at every tune
    std::string path;              // the recording; empty when none was found at the tune
    bool serviceTuned = false;     // the service was found in the ensemble's FIC
    std::uint32_t sid = 0;
    std::uint8_t subChannelId = 0;
};

struct PlayedFrame {
    FrameOutcome outcome = FrameOutcome::Silent;
    bool hasBlock = false;
    std::span<const std::uint8_t> block;  // the sub-channel's bytes; valid until the next call
    // The tuned service's TPEG component as the FIC played so far describes it.
    broadcast::PacketComponentInfo component;
    // UTC seconds since 1970 when this frame's FIC brought a FIG 0/10 (with a block only).
    std::optional<std::int64_t> time;
};

class EnsemblePlayer {
  public:
    PlayedFrame PlayFrame(const Tuning& tuning);

  private:
    struct FileIdentity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::timespec modified{};
        bool operator==(const FileIdentity& other) const;
    };

    PlayedFrame ReadFrame(const Tuning& tuning);
    std::string FileName() const;

    broadcast::EtiReader m_reader;
    broadcast::FicDecoder m_fic;
    std::size_t m_ficRevision = 0;
    broadcast::PacketComponentInfo m_component;
    FileIdentity m_identity;
    std::uint64_t m_generation = 0;
    bool m_started = false;
    std::string m_path;
    std::string m_signalOffPath;  // taken at each tune
    ProblemLog m_problems;
};

}  // namespace devices
