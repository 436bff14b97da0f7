// The T-DMB tuner: output pin "DOut" and ITdmbTunerControl over its reception
// (reception.h): the broadcast folder's ETI recordings, or a radio signal.
//
// A frequency tune and a scan step take the lock time (lock_time.h) before
// they answer, without holding the lock that signal queries and streaming
// take, and then look at the folder: a frequency without a recording reads
// back 0, a service its ensemble's FIC does not list reads back 0/0, and a
// listed service reads back its FIC sub-channel, so a mismatch shows the
// caller the tune did not take. While the filter runs, a streaming thread
// plays the tuned ensemble at one frame per 24 ms (time-scaled, due times
// counted from the start so it never drifts) and hands the tuned
// sub-channel's bytes of each frame to the filter connected to "DOut". A
// retune takes effect at the next frame after the lock time. Pause and Stop
// end the thread before they return.
//
// Commands may come through GetParam or SetParam alike; records are read and
// answered as documented for the device.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "devices/ensemble_player.h"
#include "devices/msc_block_sink.h"
#include "devices/reception.h"
#include "devices/signal_meter.h"
#include "graph/device_interfaces.h"
#include "platform/com_ptr.h"
#include "platform/filter_base.h"
#include "platform/streaming_thread.h"

namespace devices {

// One frame of ETI, in platform milliseconds.
inline constexpr platform::DWORD kFramePeriodMs = 24;
// The signal counts as lost after this many frame periods without a valid
// frame (0.6 s).
inline constexpr std::uint32_t kSignalLossPeriods = 25;

class TunerFilter final : public platform::FilterBase, public ITdmbTunerControl {
  public:
    TunerFilter();
    ~TunerFilter() override;

    platform::HRESULT QueryInterface(platform::REFIID iid, void** object) override;
    platform::ULONG AddRef() override;
    platform::ULONG Release() override;

    platform::HRESULT GetParam(std::int32_t command, TunerParam* record) override;
    platform::HRESULT SetParam(std::int32_t command, TunerParam* record,
                               std::int32_t reserved) override;

  protected:
    void* FindInterface(platform::REFIID iid) override;
    platform::HRESULT OnPause(platform::FILTER_STATE from) override;
    platform::HRESULT OnRun(platform::REFERENCE_TIME start) override;
    platform::HRESULT OnStop() override;

  private:
    platform::HRESULT Handle(std::int32_t command, TunerParam* record);
    platform::HRESULT HandleCommand(std::int32_t command, TunerParam& record);
    // The answer under a "wrong" fault of DMBTPEG_DEVICE_FAULTS.
    platform::HRESULT HandleWrongly(std::int32_t command, TunerParam& record);
    platform::HRESULT SetRegion(TunerParam& record);
    platform::HRESULT GetScanSteps(TunerParam& record);
    platform::HRESULT Scan(TunerParam& record);
    platform::HRESULT ScanStep(TunerParam& record);
    platform::HRESULT GetSignal(TunerParam& record);
    // Re-tunes from the requested frequency and service; called with
    // m_tuneLock held.
    void RetuneLocked();
    Tuning CurrentTuning() const;
    bool FramesArrive(const Tuning& tuning) const;

    void StopStreaming();
    void Stream(platform::StreamingThread& thread, platform::ComPtr<IMscBlockSink> sink);

    const std::unique_ptr<Reception> m_reception = MakeReception();
    mutable std::mutex m_tuneLock;
    std::span<const std::int32_t> m_frequencies;
    std::int32_t m_country = 0;
    std::int32_t m_requestedFrequency = 0;
    std::uint32_t m_requestedService = 0;
    std::int32_t m_requestedSubChannel = 0;
    std::int32_t m_tunedFrequency = 0;
    std::uint32_t m_tunedService = 0;
    std::int32_t m_tunedSubChannel = 0;
    Tuning m_tuning;
    // m_tuning.generation, for the streaming thread to see a retune without
    // copying the tuning (and its path) under the lock every frame.
    std::atomic<std::uint64_t> m_tuningGeneration{0};

    SignalMeter m_meter;
    std::atomic<bool> m_streaming{false};
    // Touched by the streaming thread only; it keeps counting across runs.
    std::uint32_t m_frameCounter = 0;
    platform::StreamingThread m_thread;
};

}  // namespace devices
