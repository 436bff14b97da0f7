#include "decoders/decoding_context.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <utility>

#include "platform/device_fs.h"
#include "platform/format.h"
#include "platform/kernel.h"

namespace decoders {

namespace bc = broadcast;

namespace {

// Read in pieces of this size, so completed sets are dispatched while a burst is still queued.
constexpr std::size_t kReadChunk = 4096;
constexpr std::uint16_t kPoiOpsAids[] = {0xF116, 0xF115};

std::size_t IndexOf(const bc::TpegApplication& app) {
    return static_cast<std::size_t>(&app - bc::TpegApplications().data());
}

std::size_t UnitsOf(const char16_t* text, std::size_t limit) {
    std::size_t units = 0;
    while (units <= limit && text[units] != u'\0') {
        ++units;
    }
    return units;
}

}  // namespace

DecodingContext::DecodingContext(std::uintptr_t window)
    : m_window(window),
      m_ackEvent(platform::CreateEvent(nullptr, platform::TRUE, platform::FALSE, nullptr)) {}

DecodingContext::~DecodingContext() {
    if (m_ackEvent != nullptr) {
        platform::CloseHandle(m_ackEvent);
    }
}

void DecodingContext::SetCallback(TpegEventCallback callback) {
    std::lock_guard lock(m_lock);
    m_callback = callback;
}

void DecodingContext::SetSelection(std::uint32_t mask) {
    std::lock_guard lock(m_lock);
    m_selection = mask;
    m_selectionChanged = true;
}

void DecodingContext::SetPoiOps(bool enabled) {
    std::lock_guard lock(m_lock);
    m_poiOps = enabled;
    m_selectionChanged = true;
}

void DecodingContext::SetLogLevel(int level) {
    std::lock_guard lock(m_lock);
    m_logLevel = level;
}

bool DecodingContext::HasFolder() const {
    std::lock_guard lock(m_lock);
    return m_folder[0] != u'\0';
}

bool DecodingContext::SetFolder(const char16_t* folder) {
    if (folder == nullptr) {
        return false;
    }
    const std::size_t units = UnitsOf(folder, kMaxFolderUnits);
    if (units == 0 || units > kMaxFolderUnits) {
        return false;
    }
    if (!platform::CreateDirectory(folder, nullptr) &&
        platform::GetLastError() != platform::ERROR_ALREADY_EXISTS) {
        return false;
    }
    const platform::DWORD attributes = platform::GetFileAttributes(folder);
    if (attributes == platform::INVALID_FILE_ATTRIBUTES ||
        (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    std::lock_guard lock(m_lock);
    std::copy_n(folder, units, m_folder);
    m_folder[units] = u'\0';
    return true;
}

bool DecodingContext::Selected(std::size_t app) const {
    if ((m_selection & (1u << app)) == 0) {
        return false;
    }
    const std::uint16_t aid = bc::TpegApplications()[app].aid;
    const bool poiOps =
        std::find(std::begin(kPoiOpsAids), std::end(kPoiOpsAids), aid) != std::end(kPoiOpsAids);
    return !poiOps || m_poiOps;
}

void DecodingContext::PrepareRun() {
    std::lock_guard lock(m_lock);
    m_dispatcher.ForgetWaitingEvent();
    platform::ResetEvent(m_ackEvent);
}

bool DecodingContext::Acknowledge(std::uintptr_t parameter, std::uint32_t code) {
    std::lock_guard lock(m_lock);
    if (!m_dispatcher.Acknowledge(parameter, code)) {
        return false;
    }
    ++m_counters.acknowledgements;
    platform::SetEvent(m_ackEvent);
    return true;
}

TpegCounters DecodingContext::Counters() {
    std::lock_guard lock(m_lock);
    return m_counters;
}

void DecodingContext::OnMessages(const bc::TpegApplication& app,
                                 std::span<const std::uint8_t> file) {
    const std::size_t index = IndexOf(app);
    std::unique_lock lock(m_lock);
    if (!Selected(index)) {
        ++m_counters.unselectedChanges;
        return;
    }
    ++m_counters.contentChanges;
    if (m_dispatcher.OnComplete(index, file) == FileDispatcher::Completion::Superseded) {
        ++m_counters.supersededChanges;
    }
    lock.unlock();
    // Right away, so that every change reaches the disk unless an event is still waiting.
    Dispatch(m_runStop);
}

void DecodingContext::OfferHeldMessages() {
    {
        std::lock_guard lock(m_lock);
        if (!std::exchange(m_selectionChanged, false)) {
            return;
        }
    }
    // A carousel repeats what the stores hold without changing it, so an application selected
    // now would otherwise wait for its next change; the files on disk are compared first.
    const auto apps = bc::TpegApplications();
    for (std::size_t app = 0; app < apps.size(); ++app) {
        if (m_decoder.MessageCount(app) > 0) {
            OnMessages(apps[app], m_decoder.File(app));
        }
    }
}

void DecodingContext::PublishDecoderStats(std::size_t bytes) {
    const bc::TpegDecodeStats stats = m_decoder.Stats();
    std::lock_guard lock(m_lock);
    m_counters.bytes += bytes;
    m_counters.frames = stats.transportFrames;
    m_counters.frameHeaderErrors = stats.badHeaders;
    m_counters.frameContentErrors = stats.badFrames;
    m_counters.skippedBytes = stats.skippedBytes;
    m_counters.componentFrames = stats.componentFrames;
    m_counters.componentErrors = stats.badComponentFrames;
    m_counters.encryptedFrames = stats.encryptedFrames;
    m_counters.otherServiceComponents = stats.otherServiceComponents;
    m_counters.messageChanges = stats.messageChanges;
    m_counters.badMessages = stats.badMessages;
    m_counters.refusedMessages = stats.refusedMessages;
    m_counters.heldContentBytes = stats.heldContentBytes;
    // One line for the first refusal; the counters tell the rest.
    if (stats.refusedMessages > 0 && !m_loggedRefused) {
        m_loggedRefused = true;
        platform::DebugPrintf(
            u"TPEG message refused: no room within %d bytes an application, %d bytes in all\r\n",
            static_cast<int>(bc::ContentBudget::kDefaultPerAccount),
            static_cast<int>(bc::ContentBudget::kDefaultTotal));
    }
}

void DecodingContext::Dispatch(platform::HANDLE stop) {
    for (;;) {
        if (platform::WaitForSingleObject(stop, 0) == platform::WAIT_OBJECT_0) {
            return;
        }
        std::unique_lock lock(m_lock);
        if (!m_dispatcher.WaitingForAcknowledgement()) {
            platform::ResetEvent(m_ackEvent);
        }
        std::optional<FileDispatcher::Job> job = m_dispatcher.Next();
        if (!job) {
            return;
        }
        const bc::TpegApplication& app = bc::TpegApplications()[job->app];
        std::u16string path(m_folder);
        path += u'\\';
        path.append(app.fileName.begin(), app.fileName.end());
        const TpegEventCallback callback = m_callback;
        const int logLevel = m_logLevel;
        lock.unlock();

        const std::string_view bytes(reinterpret_cast<const char*>(job->content.data()),
                                     job->content.size());
        if (!platform::WriteFileAtomically(path, bytes)) {
            platform::DebugPrintf(u"TPEG data file not written: %s (error %d)\r\n", path,
                                  static_cast<int>(platform::GetLastError()));
            lock.lock();
            ++m_counters.writeFailures;
            continue;
        }
        if (logLevel >= 1) {
            platform::DebugPrintf(u"TPEG data file written: %s (%d bytes)\r\n", path,
                                  static_cast<int>(bytes.size()));
        }
        lock.lock();
        m_dispatcher.Written(std::move(*job));
        ++m_counters.filesWritten;
        if (callback == nullptr) {
            continue;
        }
        const std::uintptr_t parameter = m_nextParameter++;
        m_dispatcher.EventRaised(parameter, app.eventCode);
        ++m_counters.events;
        lock.unlock();
        // Without the lock: the service calls back into the library from inside.
        callback(m_window, app.eventCode, parameter);
    }
}

void DecodingContext::Run(TpegQueue& queue, platform::HANDLE stop) {
    m_runStop = stop;
    std::array<std::uint8_t, kReadChunk> buffer{};
    const platform::HANDLE waits[] = {stop, m_ackEvent, queue.DataEvent()};
    // Bytes were read since the last wait: the writer may have left some unannounced.
    bool readSinceWait = false;
    for (;;) {
        if (platform::WaitForSingleObject(stop, 0) == platform::WAIT_OBJECT_0) {
            return;
        }
        const std::size_t read = queue.Read(buffer);
        if (read > 0) {
            readSinceWait = true;
            // Expiry is judged against the ensemble's own time once the tuner has passed on
            // a FIG 0/10: a head unit's clock may be anything until it is set, and messages
            // are meant to live as long as the broadcaster's clock says. Without one, the
            // system clock is all there is.
            const std::int64_t now = queue.BroadcastTime().value_or(
                std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count());
            m_decoder.Push(std::span(buffer.data(), read), *this, now);
            OfferHeldMessages();
        }
        Dispatch(stop);
        // After the dispatch, so a reader that sees every queued byte counted also sees
        // every file and event they led to.
        PublishDecoderStats(read);
        if (read == 0) {
            platform::ResetEvent(queue.DataEvent());
            // Having just read, look again after a while for bytes the writer has not
            // announced yet; otherwise wait idle, and the next write is announced at once.
            const bool linger = readSinceWait;
            readSinceWait = false;
            const bool empty = linger ? queue.Available() == 0 : queue.IdleIfEmpty();
            if (empty) {
                platform::WaitForMultipleObjects(
                    3, waits, platform::FALSE, linger ? TpegQueue::kLingerMs : platform::INFINITE);
            }
            queue.EndIdle();
        }
    }
}

}  // namespace decoders
