// The service's only window: an invisible dialog that owns all run-time
// state (the receiver graph, the channel list, the chosen channel, the tuning
// worker with its events and lock) and is driven by its timers and messages.
#pragma once

#include <atomic>
#include <cstdint>

#include "channels/channel_list.h"
#include "channels/channel_selection.h"
#include "graph/build_graph.h"
#include "graph/ts_player.h"
#include "platform/dialog.h"
#include "platform/kernel.h"
#include "platform/service_protocol.h"
#include "support/thread_wrapper.h"
#include "tpeg/decoder_control.h"

// The main window's dialog template: a popup without caption, 23 x 30 units.
inline constexpr platform::UINT kMainWindowTemplate = 8;
// The index into the 16-step audio level table handed to the graph once at
// start: full level, since the service renders no audio of its own.
inline constexpr std::uint32_t kInitialAudioLevel = 15;
// The longest the main thread waits for the worker or the scan thread. Both
// end well within it unless a peer they send to does not answer; the main
// thread then goes on without releasing what they still use.
inline constexpr platform::DWORD kThreadWaitLimitMs = 5000;

class TDmbMain : public platform::Dialog, public cThread {
  public:
    TDmbMain();
    ~TDmbMain() override;

    platform::BOOL InitMainWindow();
    int ShutdownService();

    void OnServiceTimer(platform::UINT_PTR id);
    void SetReception(bool on);
    std::uint32_t Run1() override;

    platform::LRESULT MainWindowProc(platform::UINT message, platform::WPARAM wParam,
                                     platform::LPARAM lParam);

    void UpdateChannelInfo();
    void ReportChannels();
    bool BuildGraph();

    // Starts (true) or aborts (false) a channel scan on the scan thread.
    void AutoScan(bool start);
    std::uint32_t Run2() override;
    // True from AutoScan until the scan thread has done everything, the
    // rebuild after the scan included.
    bool ScanBusy() const;

    platform::LRESULT WindowProc(platform::UINT message, platform::WPARAM wParam,
                                 platform::LPARAM lParam) override;

    CTsPlayer mTsPlayer;
    ChannelInfo mChannelInfo{};
    CChannelList mChannel;
    std::int32_t mnGraphMode = kGraphModeData;
    std::atomic<std::uint8_t> mChannelState{kChannelInvalid};
    std::atomic<std::int32_t> mbTuningPass{0};
    std::uint32_t mnAudioLevel = kInitialAudioLevel;
    platform::WCHAR mszChannelLabel[kChannelLabelUnits] = {};
    std::atomic<std::uint8_t> mbReportSignal{0};
    std::atomic<std::int32_t> mbDecoderRunning{0};
    platform::HANDLE mhQuitEvent = nullptr;
    platform::HANDLE mhChannelEvent = nullptr;
    platform::HANDLE mhPassEndEvent = nullptr;
    platform::CRITICAL_SECTION mcsChannelInfo{};

  protected:
    platform::BOOL OnInitDialog() override { return InitMainWindow(); }

  private:
    platform::LRESULT Dispatch(platform::UINT message, platform::WPARAM wParam,
                               platform::LPARAM lParam);
    platform::LRESULT EndSequence(const platform::WCHAR* tag, platform::UINT message,
                                  platform::WPARAM wParam, platform::LPARAM lParam);
    void StartStep();
    void CameraStep();
    void SignalStep();
    void CreateEvents();
    void CloseEvents();
    // Wakes the worker and waits until it has ended, so nothing it uses is
    // released under it. False when it had not ended within the limit: its
    // handle stays recorded and nothing it uses may be released.
    bool StopWorker();
    // False when a scan was still running at the limit.
    bool WaitForScanEnd();
    // A give-up whose worker would not end in time is finished at a later
    // camera tick.
    bool GiveUpUnfinished() const;
    // The end sequence that a request received inside another handler's wait
    // left for the outermost handler to run.
    void FinishEnd();
    void OpenMarkerFile();

    DecoderState Decoders() {
        return {GetHwnd(), mbDecoderRunning, mbReportSignal, gnSignalReportRef()};
    }
    static std::atomic<std::int32_t>& gnSignalReportRef();
    ChannelSelection Selection();
    GraphBuild Build();

    // Set once the scan thread has finished everything it does, including
    // the rebuild after the scan; null when no scan was ever started.
    platform::HANDLE mhScanDone = nullptr;
    // Tells the scan thread that reception is about to be given up, so an
    // aborted scan does not rebuild the graph for nothing.
    std::atomic<bool> mbScanYields{false};
    bool mbScanFileFound = false;
    bool mbLockReady = false;
    // Main thread only.
    bool mbStartStepDone = false;
    int mnHandlerDepth = 0;
    bool mbEndPending = false;
};
