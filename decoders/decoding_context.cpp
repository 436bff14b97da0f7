#include "decoders/decoding_context.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <utility>

#include "decoders/tpeg_settings.h"
#include "platform/clock.h"
#include "platform/device_fs.h"
#include "platform/format.h"
#include "platform/kernel.h"

namespace decoders {

namespace bc = broadcast;

namespace {

// Read in pieces of this size, so changed files are dispatched while a burst is still queued.
constexpr std::size_t kReadChunk = 4096;
// Kind codes of POI-OPS and POI-OPS2, whatever AIDs fill them.
constexpr std::uint8_t kPoiOpsKinds[] = {22, 21};

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
      m_ackEvent(platform::CreateEvent(nullptr, platform::TRUE, platform::FALSE, nullptr)),
      m_decoder(ReadApplicationAids()),
      m_dispatcher(ReadWriteIntervalMs()) {}

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
    const std::uint8_t kind = bc::TpegApplications()[app].kindCode;
    const bool poiOps =
        std::find(std::begin(kPoiOpsKinds), std::end(kPoiOpsKinds), kind) != std::end(kPoiOpsKinds);
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
    Offer(IndexOf(app), file, true);
}

void DecodingContext::Offer(std::size_t index, std::span<const std::uint8_t> file, bool change) {
    std::unique_lock lock(m_lock);
    if (!Selected(index)) {
        m_counters.unselectedChanges += change ? 1 : 0;
        return;
    }
    m_counters.contentChanges += change ? 1 : 0;
    if (m_dispatcher.OnContent(index, file) == FileDispatcher::Completion::Superseded) {
        ++m_counters.supersededChanges;
    }
    lock.unlock();
    // Right away, so that every change reaches the disk unless an event is still waiting or
    // the write interval holds it back.
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
    for (std::size_t app = 0; app < bc::kTpegApplicationCount; ++app) {
        if (m_decoder.MessageCount(app) > 0) {
            Offer(app, m_decoder.File(app), false);
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
        std::optional<FileDispatcher::Job> job = m_dispatcher.Next(platform::GetTickCount());
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
            // Once per run of failures: the file is tried again every second or so.
            if (!std::exchange(m_writeFailing[job->app], true)) {
                platform::DebugPrintf(u"TPEG data file not written: %s (error %d)\r\n", path,
                                      static_cast<int>(platform::GetLastError()));
            }
            lock.lock();
            m_dispatcher.Failed(std::move(*job), platform::GetTickCount());
            ++m_counters.writeFailures;
            continue;
        }
        m_writeFailing[job->app] = false;
        if (logLevel >= 1) {
            platform::DebugPrintf(u"TPEG data file written: %s (%d bytes)\r\n", path,
                                  static_cast<int>(bytes.size()));
        }
        lock.lock();
        m_dispatcher.Written(std::move(*job), platform::GetTickCount());
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

platform::DWORD DecodingContext::NextDueIn() {
    std::lock_guard lock(m_lock);
    const std::optional<std::uint32_t> due = m_dispatcher.NextDueIn(platform::GetTickCount());
    // One more millisecond: the clock counts whole ones, a wait cut short would spin.
    return due ? *due + 1 : platform::INFINITE;
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
                // Also wake for a file the write interval holds back, bytes or none.
                const platform::DWORD timeout =
                    std::min(NextDueIn(), linger ? TpegQueue::kLingerMs : platform::INFINITE);
                platform::WaitForMultipleObjects(3, waits, platform::FALSE, timeout);
            }
            queue.EndIdle();
        }
    }
}

}  // namespace decoders
