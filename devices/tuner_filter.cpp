#include "devices/tuner_filter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include "broadcast/msc_data_path.h"
#include "devices/fault_plan.h"
#include "devices/frequency_table.h"
#include "devices/lock_time.h"
#include "devices/scan_entry.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/text.h"

namespace devices {
namespace {

using namespace platform;

// After a stall longer than this (a suspended process, a slow debugger) the
// schedule starts afresh instead of delivering the missed frames in a burst.
constexpr std::int64_t kMaxLatePeriods = 10;

class TunerOutputPin final : public PinBase {
  public:
    explicit TunerOutputPin(FilterBase& filter) : PinBase(filter, PINDIR_OUTPUT, u"DOut") {}
};

std::int32_t Word(const TunerParam& record, int index) {
    return static_cast<std::int32_t>(record.word[index]);
}

void PutLe32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Sleeps until `due` unless a stop is requested first; true on a stop.
bool WaitUntil(StreamingThread& thread, Clock::time_point due) {
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= due) {
            return thread.StopRequested();
        }
        const double platformMs =
            std::chrono::duration<double, std::milli>(due - now).count() / TimeScale();
        const auto ms = static_cast<DWORD>(std::max(1.0, std::ceil(platformMs)));
        if (thread.WaitForStop(ms)) {
            return true;
        }
    }
}

void LogLine(const std::string& text) {
    DebugOutput(FromUtf8("[TDMB device] " + text + "\r\n"));
}

// Called with no lock held: signal polls and the streaming thread go on while
// a tune or a scan step waits for its lock.
void WaitForLock() {
    Sleep(TunerLockMs());
}

}  // namespace

TunerFilter::TunerFilter() : FilterBase(CLSID_TdmbTuner) {
    AddPin(std::make_unique<TunerOutputPin>(*this));
    m_country = kCountryKorea;
    m_frequencies = *FrequencyTable(kCountryKorea, 0);
}

TunerFilter::~TunerFilter() {
    StopStreaming();
}

HRESULT TunerFilter::QueryInterface(REFIID iid, void** object) {
    return FilterBase::QueryInterface(iid, object);
}

ULONG TunerFilter::AddRef() {
    return FilterBase::AddRef();
}

ULONG TunerFilter::Release() {
    return FilterBase::Release();
}

void* TunerFilter::FindInterface(REFIID iid) {
    if (iid == IID_ITdmbTunerControl) {
        return static_cast<ITdmbTunerControl*>(this);
    }
    return FilterBase::FindInterface(iid);
}

HRESULT TunerFilter::GetParam(std::int32_t command, TunerParam* record) {
    try {
        return Handle(command, record);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT TunerFilter::SetParam(std::int32_t command, TunerParam* record, std::int32_t) {
    try {
        return Handle(command, record);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT TunerFilter::Handle(std::int32_t command, TunerParam* record) {
    if (record == nullptr) {
        return E_POINTER;
    }
    const auto group = FaultCommandOf(command);
    const auto fault = group ? DeviceFaults().OnCall(*group) : std::nullopt;
    if (!fault) {
        return HandleCommand(command, *record);
    }
    if (*fault == FaultEffect::Fail) {
        return E_FAIL;
    }
    return HandleWrongly(command, *record);
}

HRESULT TunerFilter::HandleWrongly(std::int32_t command, TunerParam& record) {
    switch (command) {
        case kTunerSetRegion:
            return S_OK;
        case kTunerSetFrequency: {
            // Success is answered but nothing is tuned: the read-back tells.
            WaitForLock();
            std::lock_guard lock(m_tuneLock);
            m_requestedFrequency = 0;
            RetuneLocked();
            return S_OK;
        }
        case kTunerSetService: {
            std::lock_guard lock(m_tuneLock);
            m_requestedService = 0;
            m_requestedSubChannel = 0;
            RetuneLocked();
            return S_OK;
        }
        case kTunerGetFrequency:
        case kTunerGetService: {
            const HRESULT result = HandleCommand(command, record);
            record.word[1] += 1;
            if (command == kTunerGetService) {
                record.word[2] += 1;
            }
            return result;
        }
        case kTunerScan:
            if (Word(record, 1) == kScanStep) {
                // A step that misses its ensemble.
                WaitForLock();
                record.word[1] = 0;
                return S_OK;
            }
            return HandleCommand(command, record);
        case kTunerGetSignal: {
            const HRESULT result = HandleCommand(command, record);
            const bool present = record.word[1] != 0;
            record.word[1] = present ? 0 : 1;
            record.word[2] = present ? 0 : 100;
            return result;
        }
        default:
            return HandleCommand(command, record);
    }
}

HRESULT TunerFilter::HandleCommand(std::int32_t command, TunerParam& param) {
    TunerParam* record = &param;
    switch (command) {
        case kTunerSetRegion:
            return SetRegion(*record);
        case kTunerSetFrequency: {
            WaitForLock();
            std::lock_guard lock(m_tuneLock);
            m_requestedFrequency = Word(*record, 1);
            RetuneLocked();
            return S_OK;
        }
        case kTunerGetFrequency: {
            std::lock_guard lock(m_tuneLock);
            record->word[1] = m_tunedFrequency;
            return S_OK;
        }
        case kTunerSetService: {
            std::lock_guard lock(m_tuneLock);
            m_requestedService = static_cast<std::uint32_t>(Word(*record, 1));
            m_requestedSubChannel = Word(*record, 2);
            RetuneLocked();
            return S_OK;
        }
        case kTunerGetService: {
            std::lock_guard lock(m_tuneLock);
            // Service ids travel as signed 32-bit numbers.
            record->word[1] = static_cast<std::int32_t>(m_tunedService);
            record->word[2] = m_tunedSubChannel;
            return S_OK;
        }
        case kTunerGetScanSteps:
            return GetScanSteps(*record);
        case kTunerScan:
            return Scan(*record);
        case kTunerGetSignal:
            return GetSignal(*record);
        default:
            return E_INVALIDARG;
    }
}

HRESULT TunerFilter::SetRegion(TunerParam& record) {
    const std::int32_t country = Word(record, 1);
    const std::int32_t band = Word(record, 2);
    const auto table = FrequencyTable(country, band);
    if (!table) {
        return E_INVALIDARG;
    }
    std::lock_guard lock(m_tuneLock);
    m_country = country;
    m_frequencies = *table;
    return S_OK;
}

HRESULT TunerFilter::GetScanSteps(TunerParam& record) {
    std::lock_guard lock(m_tuneLock);
    record.word[1] = m_country;
    record.word[2] = static_cast<std::intptr_t>(m_frequencies.size());
    return S_OK;
}

HRESULT TunerFilter::Scan(TunerParam& record) {
    switch (Word(record, 1)) {
        case kScanBegin:
        case kScanEnd:
            return S_OK;
        case kScanStep:
            return ScanStep(record);
        default:
            return E_INVALIDARG;
    }
}

HRESULT TunerFilter::ScanStep(TunerParam& record) {
    const std::int32_t step = Word(record, 2);
    auto* buffer = reinterpret_cast<std::uint8_t*>(record.word[3]);
    std::int32_t frequency = 0;
    {
        std::lock_guard lock(m_tuneLock);
        if (step < 0 || static_cast<std::size_t>(step) >= m_frequencies.size()) {
            return E_INVALIDARG;
        }
        frequency = m_frequencies[static_cast<std::size_t>(step)];
    }
    if (buffer == nullptr) {
        return E_POINTER;
    }
    WaitForLock();
    record.word[1] = 0;
    const std::string path = m_reception->Locate(frequency);
    if (path.empty() || !m_reception->SignalOn(path)) {
        return S_OK;
    }
    const EnsembleProbe probe = m_reception->Probe(path);
    if (!probe.readable || probe.goodFrames == 0) {
        LogLine("scan: " + std::to_string(frequency) + ".eti holds no valid frame");
        return S_OK;
    }
    const auto& services = probe.ensemble.services;
    const std::size_t written =
        std::min(services.size(), static_cast<std::size_t>(kScanEntriesPerStep));
    for (std::size_t i = 0; i < written; ++i) {
        WriteScanEntry(services[i], probe.ensemble.eid, frequency,
                       std::span(buffer + i * kScanEntryBytes, kScanEntryBytes));
    }
    record.word[1] = static_cast<std::intptr_t>(services.size());
    return S_OK;
}

void TunerFilter::RetuneLocked() {
    ++m_tuning.generation;
    m_tuningGeneration.store(m_tuning.generation);
    m_tuning.path.clear();
    m_tuning.serviceTuned = false;
    m_tuning.sid = 0;
    m_tuning.subChannelId = 0;
    m_tunedFrequency = 0;
    m_tunedService = 0;
    m_tunedSubChannel = 0;
    const std::string path = m_reception->Locate(m_requestedFrequency);
    if (path.empty()) {
        return;
    }
    m_tunedFrequency = m_requestedFrequency;
    m_tuning.path = path;
    if (m_requestedService == 0) {
        return;
    }
    const EnsembleProbe probe = m_reception->Probe(path);
    // The sub-channel picks the component when the service has several (TPEG beside a
    // programme's audio).
    const bool validSubChannel = m_requestedSubChannel >= 0 && m_requestedSubChannel < 64;
    if (const broadcast::Service* service =
            validSubChannel
                ? probe.ensemble.FindComponent(m_requestedService,
                                               static_cast<std::uint8_t>(m_requestedSubChannel))
                : probe.ensemble.FindService(m_requestedService)) {
        m_tunedService = service->sid;
        m_tunedSubChannel = service->subChannelId;
        m_tuning.serviceTuned = true;
        m_tuning.sid = service->sid;
        m_tuning.subChannelId = service->subChannelId;
    }
}

Tuning TunerFilter::CurrentTuning() const {
    std::lock_guard lock(m_tuneLock);
    return m_tuning;
}

bool TunerFilter::FramesArrive(const Tuning& tuning) const {
    if (m_streaming.load()) {
        const SignalReading reading = m_meter.Read();
        if (reading.generation == tuning.generation && reading.periods > 0) {
            return reading.periodsSinceReceived < kSignalLossPeriods;
        }
    }
    return m_reception->Probe(tuning.path, kSignalLossPeriods).goodFrames > 0;
}

HRESULT TunerFilter::GetSignal(TunerParam& record) {
    const Tuning tuning = CurrentTuning();
    const bool present =
        !tuning.path.empty() && m_reception->SignalOn(tuning.path) && FramesArrive(tuning);
    SignalReading reading = m_meter.Read();
    if (reading.generation != tuning.generation) {
        reading = SignalReading{};
    }
    record.word[1] = present ? 1 : 0;
    record.word[2] = present ? std::max(reading.qualityPercent, 1) : 0;
    if (auto* buffer = reinterpret_cast<std::uint8_t*>(record.word[3])) {
        PutLe32(buffer, reading.received);
        PutLe32(buffer + 4, reading.lost);
    }
    return S_OK;
}

HRESULT TunerFilter::OnPause(FILTER_STATE from) {
    if (from == State_Running) {
        StopStreaming();
    }
    return S_OK;
}

HRESULT TunerFilter::OnRun(REFERENCE_TIME) {
    ComPtr<IMscBlockSink> sink;
    if (ComPtr<IPin> peer = PinAt(0)->ConnectedPin()) {
        peer.As(&sink);
    }
    if (!m_thread.Start([this, sink](StreamingThread& thread) {
            try {
                Stream(thread, sink);
            } catch (...) {
                LogLine("streaming stopped: out of memory");
            }
        })) {
        return E_FAIL;
    }
    m_streaming.store(true);
    return S_OK;
}

HRESULT TunerFilter::OnStop() {
    StopStreaming();
    return S_OK;
}

void TunerFilter::StopStreaming() {
    m_thread.Stop();
    m_streaming.store(false);
}

void TunerFilter::Stream(StreamingThread& thread, ComPtr<IMscBlockSink> sink) {
    const std::unique_ptr<FramePlayer> player = m_reception->NewPlayer();
    const Clock::duration period = ScaledDuration(kFramePeriodMs);
    Clock::time_point start = Clock::now();
    std::int64_t periods = 0;
    Tuning tuning = CurrentTuning();
    while (!thread.StopRequested()) {
        if (m_tuningGeneration.load() != tuning.generation) {
            tuning = CurrentTuning();
        }
        const PlayedFrame frame = player->PlayFrame(tuning);
        m_meter.Record(tuning.generation, frame.outcome);
        if (frame.hasBlock && sink && frame.time) {
            // The ensemble's time goes first, so that the TDC library has it before the
            // frame's data.
            const auto bytes = broadcast::EncodeTimeBlock(*frame.time);
            sink->DeliverBlock(bytes.data(), bytes.size(),
                               broadcast::TimeBlockWord(tuning.subChannelId), m_frameCounter);
        }
        if (frame.hasBlock && sink) {
            sink->DeliverBlock(frame.block.data(), frame.block.size(),
                               broadcast::PackMscDataWord(tuning.subChannelId, frame.component),
                               m_frameCounter);
        }
        ++m_frameCounter;
        ++periods;
        Clock::time_point due = start + period * periods;
        const Clock::time_point now = Clock::now();
        if (now - due > period * kMaxLatePeriods) {
            start = now;
            periods = 0;
            due = now;
        }
        if (WaitUntil(thread, due)) {
            break;
        }
    }
}

}  // namespace devices
