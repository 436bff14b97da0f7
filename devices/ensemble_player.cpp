#include "devices/ensemble_player.h"

#include <sys/stat.h>

#include "devices/broadcast_folder.h"

namespace devices {

bool EnsemblePlayer::FileIdentity::operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

std::string EnsemblePlayer::FileName() const {
    const auto slash = m_path.find_last_of('/');
    return slash == std::string::npos ? m_path : m_path.substr(slash + 1);
}

PlayedFrame EnsemblePlayer::PlayFrame(const Tuning& tuning) {
    if (!m_started || tuning.generation != m_generation) {
        m_started = true;
        m_generation = tuning.generation;
        m_reader.Close();
        m_problems.Clear();
        m_fic = {};
        m_ficRevision = 0;
        m_component = {};
        m_path = tuning.path;
        m_signalOffPath = SignalOffPath();
    }
    if (m_path.empty()) {
        return {};
    }
    if (SignalSwitchedOff(m_signalOffPath)) {
        m_problems.Report("signal", "signal switched off: nothing received");
        return {};
    }
    m_problems.Resolve("signal");
    struct stat info {};
    if (::stat(m_path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        m_reader.Close();
        m_problems.Report("missing", FileName() + " is gone: nothing received");
        return {};
    }
    m_problems.Resolve("missing");
    const FileIdentity identity{info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    if (m_reader.IsOpen() && !(identity == m_identity)) {
        m_reader.Close();
        // Another recording: what the old one's FIC said no longer holds.
        m_fic = {};
        m_ficRevision = 0;
        m_component = {};
    }
    if (!m_reader.IsOpen()) {
        m_identity = identity;
        if (!m_reader.Open(m_path)) {
            m_problems.Report("open", FileName() + " is not a readable ETI recording");
            return {FrameOutcome::Lost, false, {}, {}, {}};
        }
    }
    return ReadFrame(tuning);
}

PlayedFrame EnsemblePlayer::ReadFrame(const Tuning& tuning) {
    broadcast::EtiReadResult result = m_reader.Next();
    if (result.status == broadcast::EtiReadStatus::End) {
        m_reader.Rewind();
        result = m_reader.Next();
        if (result.status == broadcast::EtiReadStatus::End) {
            m_problems.Report("empty", FileName() + " holds no whole frame");
            return {FrameOutcome::Lost, false, {}, {}, {}};
        }
    }
    switch (result.status) {
        case broadcast::EtiReadStatus::Frame:
            break;
        case broadcast::EtiReadStatus::BadFrame:
            m_problems.Report(
                std::string("bad ") + broadcast::ToString(result.error),
                FileName() + ": frames skipped (" + broadcast::ToString(result.error) + ")");
            return {FrameOutcome::Lost, false, {}, {}, {}};
        case broadcast::EtiReadStatus::End:
        case broadcast::EtiReadStatus::IoError:
            m_reader.Close();
            m_problems.Report("io", FileName() + " could not be read");
            return {FrameOutcome::Lost, false, {}, {}, {}};
    }
    m_fic.PushFic(result.frame.fic);
    if (m_fic.Dropped() > 0) {
        m_problems.Report("fic",
                          FileName() + ": FIC lists more entries than kept; extra ones ignored");
    }
    if (!tuning.serviceTuned) {
        return {FrameOutcome::Received, false, {}, {}, {}};
    }
    if (m_fic.Revision() != m_ficRevision) {
        m_ficRevision = m_fic.Revision();
        m_component = m_fic.TpegComponent(tuning.sid, tuning.subChannelId);
    }
    const broadcast::EtiStreamView* stream = result.frame.FindStream(tuning.subChannelId);
    if (stream == nullptr) {
        m_problems.Report("stream", FileName() + ": frames without sub-channel " +
                                        std::to_string(tuning.subChannelId));
        return {FrameOutcome::Received, false, {}, {}, {}};
    }
    PlayedFrame played{FrameOutcome::Received, true, stream->data, m_component, {}};
    if (const auto& time = m_fic.LatestTime(); time && time->fic == m_fic.FicCount()) {
        played.time = time->utcSeconds;
    }
    return played;
}

}  // namespace devices
