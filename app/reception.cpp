#include "app/service_globals.h"
#include "app/tdmb_main.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "platform/window.h"
#include "tpeg/tpeg_events.h"

using namespace platform;

namespace {

constexpr DWORD kPassPauseMs = 500;
constexpr DWORD kAfterEventsMs = 50;
constexpr UINT kCameraPeriodMs = 3000;
constexpr UINT kSignalPeriodMs = 2000;
constexpr std::int32_t kSilentPollsBeforeLoss = 3;
constexpr std::int32_t kSignalRepeats = 2;

bool CameraManagerPresent() {
    return FindWindow(nullptr, u"Lumo_CAMManager_RV") != nullptr ||
           FindWindow(nullptr, u"Lumo_CAMManager_AV") != nullptr;
}

}  // namespace

void TDmbMain::OnServiceTimer(UINT_PTR id) {
    switch (id) {
        case ID_TIMER_START:
            StartStep();
            break;
        case ID_TIMER_CAMERA:
            CameraStep();
            break;
        case ID_TIMER_SIGNAL:
            SignalStep();
            break;
        default:
            break;
    }
    Dialog::WindowProc(WM_TIMER, id, 0);
}

void TDmbMain::StartStep() {
    KillTimer(GetHwnd(), ID_TIMER_START);
    mbStartStepDone = true;
    bool ending = false;
    auto startFailed = [&] {
        gnExitStatus = kExitStartFailed;
        EndDialog(IDOK);
        ending = true;
    };
    if (!mTsPlayer.CreateGraphBuilder()) {
        DebugPrintf(u"[Lumo DMB] Could not create Filter Graph");
        startFailed();
    } else {
        DebugPrintf(u"[Lumo DMB] mTsPlayer.CreateGraphBuilder OK!\r\n");
        CreateEvents();
        mbTuningPass = 0;
        Sleep(kAfterEventsMs);
        if (Create1(0, 0, nullptr) == 1) {
            // At the first start a graph that cannot be built means missing
            // filter registrations; nothing would ever be received.
            if (!BuildGraph()) {
                startFailed();
            }
            ReportChannels();
        } else {
            DebugPrintf(u"[Lumo DMB] Could not create Thread\r\n");
            startFailed();
        }
    }
    mTsPlayer.AudioCommand(kAudioSetLevel, &mnAudioLevel);
    mbDecoderRunning = 0;
    InitDecoders(Decoders());
    UpdateChannelInfo();
    SetTimer(GetHwnd(), ID_TIMER_CAMERA, kCameraPeriodMs, nullptr);
    if (mChannel.Size() == 0 && !ending && gbServiceClosing.load() == 0) {
        // A device without any channel would never find its service; one that
        // was first switched on without signal tries again at every start.
        DebugPrintf(mbScanFileFound ? u"Scan file lists no channel: scanning the channels\r\n"
                                    : u"No scan file: scanning the channels\r\n");
        AutoScan(true);
    }
}

void TDmbMain::CameraStep() {
    bool present = CameraManagerPresent();
    if (ScanBusy()) {
        // The scan thread owns the graph and the list until it has finished
        // everything; the reversing camera goes first, so the scan is cut
        // short and the tuner is given up once it has ended.
        if (!present) {
            return;
        }
        if (gbScanAbort.load() != 1) {
            DebugPrintf(u"[Lumo DMB] camera manager present: channel scan aborted\r\n");
            mbScanYields = true;
            gbScanAbort = 1;
        }
        if (!WaitForScanEnd()) {
            return;
        }
    }
    // A scan cut short for the camera manager left the graph to be given up.
    const bool scanYielded = mbScanYields.exchange(false);
    if (scanYielded || GiveUpUnfinished() || (present && gbReceptionOn.load() == 1)) {
        SetReception(false);
    } else if (!present && gbReceptionOn.load() == 0) {
        SetReception(true);
    }
}

void TDmbMain::SetReception(bool on) {
    if (gbServiceClosing.load() == 1) {
        return;
    }
    if (on) {
        gbReceptionOn = 1;
        if (!mTsPlayer.CreateGraphBuilder()) {
            DebugPrintf(u"[Lumo DMB] Could not create Filter Graph");
        } else {
            DebugPrintf(u"[Lumo DMB] mTsPlayer.CreateGraphBuilder OK!\r\n");
            CreateEvents();
            mbTuningPass = 0;
            if (gbServiceClosing.load() == 1) {
                return;
            }
            if (Create1(0, 0, nullptr) == 1) {
                BuildGraph();
                ReportChannels();
            } else {
                DebugPrintf(u"[Lumo DMB] Could not create Thread\r\n");
            }
        }
        mbDecoderRunning = 0;
        InitDecoders(Decoders());
        UpdateChannelInfo();
        return;
    }
    gbReceptionOn = 0;
    // The worker looks at the quit event right before it would start
    // reception, so from here on it starts nothing new.
    if (mhQuitEvent != nullptr) {
        SetEvent(mhQuitEvent);
    }
    KillTimer(GetHwnd(), ID_TIMER_SIGNAL);
    const bool decodersWereRunning = mbDecoderRunning.load() == 1;
    if (decodersWereRunning) {
        StopDecoders(Decoders());
    }
    if (gbServiceClosing.load() == 1) {
        return;
    }
    if (mhThread.load() != nullptr) {
        DebugPrintf(u"[Lumo DMB] mhThread! \r\n");
    }
    // The worker ends before the graph stops, so no pass of it can set the
    // graph running again after the stop. One that does not end in time
    // keeps the graph; a later camera tick finishes the give-up.
    if (!StopWorker() || gbServiceClosing.load() == 1) {
        return;
    }
    // A pass that had already looked at the quit event when the stop began
    // may have started reception since: undo what it started.
    KillTimer(GetHwnd(), ID_TIMER_SIGNAL);
    if (!decodersWereRunning && mbDecoderRunning.load() == 1) {
        StopDecoders(Decoders());
    }
    mTsPlayer.StopGraph();
    CloseEvents();
    mTsPlayer.DisconnectFilters();
    mTsPlayer.RemoveDataFilter();
    mTsPlayer.ReleaseGraph();
    PostMessage(HWND_BROADCAST, TC_SUSPEND_ACK.load(), 0, 0);
    UninitDecoders();
}

void TDmbMain::SignalStep() {
    // The scan thread has the tuner until it has rebuilt the graph.
    if (ScanBusy()) {
        return;
    }
    std::uint8_t status[8] = {};
    TunerParam record{};
    record.word[3] = reinterpret_cast<std::intptr_t>(status);
    if (!mTsPlayer.GetTunerParam(kTunerGetSignal, &record)) {
        return;
    }
    if (record.word[1] == 0) {
        gnSignalReport = 0;
        if (gnNoSignalCount.load() >= kSilentPollsBeforeLoss) {
            DebugPrintf(u"[LUMO DMB] NoSignal true \r\n");
            NotifyNavApp(WM_DMBANTLV.load(), kReceptionNoSignal);
            mbReportSignal = 1;
        } else {
            ++gnNoSignalCount;
        }
        return;
    }
    gnNoSignalCount = 0;
    if (mbReportSignal.load() == 1) {
        DebugPrintf(u"[LUMO DMB] NoSignal false \r\n");
        NotifyNavApp(WM_DMBANTLV.load(), kReceptionAvailable);
        if (gnSignalReport.load() >= kSignalRepeats) {
            mbReportSignal = 0;
        } else {
            ++gnSignalReport;
        }
    }
}

std::uint32_t TDmbMain::Run1() {
    const HANDLE events[3] = {mhQuitEvent, mhChannelEvent, mhPassEndEvent};
    // However the worker ends, it is no longer in a pass: the stop step of a
    // scan must not wait for one.
    struct LeavePass {
        std::atomic<std::int32_t>& flag;
        ~LeavePass() { flag = 0; }
    } leavePass{mbTuningPass};
    auto quitting = [&] { return WaitForSingleObject(events[0], 0) == WAIT_OBJECT_0; };
    for (;;) {
        // The end of a pass is the stop step's signal, not the worker's: one
        // set after the stop step reset it must not end the worker.
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            return 0;
        }
        mbTuningPass = 1;
        TunerParam set{};
        TunerParam get{};
        ChannelInfo info{};
        auto copyInfo = [&] {
            EnterCriticalSection(&mcsChannelInfo);
            info = mChannelInfo;
            LeaveCriticalSection(&mcsChannelInfo);
        };
        auto tuning = [&] { return mChannelState.load() == kChannelValid; };
        copyInfo();
        bool ok = true;
        if (tuning()) {
            set.word[1] = info.dwFrequency;
            ok = mTsPlayer.SetTunerParam(kTunerSetFrequency, &set);
        }
        if (ok && tuning()) {
            set.word[1] = static_cast<std::int32_t>(info.dwServiceId);
            set.word[2] = info.dwSubChannel;
            ok = mTsPlayer.SetTunerParam(kTunerSetService, &set);
        }
        if (ok && tuning()) {
            copyInfo();
            get = {};
            ok = mTsPlayer.GetTunerParam(kTunerGetFrequency, &get);
            auto reported = static_cast<std::int32_t>(get.word[1]);
            if (ok && tuning() && reported != info.dwFrequency) {
                DebugPrintf(u"[TDMBPlayer] Frequency is different(%d, %d)\r\n", reported,
                            info.dwFrequency);
                ok = false;
            }
        }
        if (ok && tuning()) {
            copyInfo();
            get = {};
            ok = mTsPlayer.GetTunerParam(kTunerGetService, &get);
            auto service = static_cast<std::int32_t>(get.word[1]);
            auto subChannel = static_cast<std::int32_t>(get.word[2]);
            if (ok && (static_cast<std::uint32_t>(service) != info.dwServiceId ||
                       subChannel != info.dwSubChannel)) {
                DebugPrintf(u"[TDMBPlayer] Channel is diff(%d, %d)(%d, %d)\r\n", service,
                            static_cast<std::int32_t>(info.dwServiceId), subChannel,
                            info.dwSubChannel);
                ok = false;
            }
        }
        if (!tuning()) {
            ResetEvent(events[1]);
            SetEvent(events[2]);
            mbTuningPass = 0;
        }
        if (!ok) {
            if (gbServiceClosing.load() == 1) {
                DebugPrintf(u"[TPEG DMB] continue B_DMB_CLOSE_TF \r\n");
                return 0;
            }
        } else if (tuning()) {
            // Reception being given up or the service ending: start nothing
            // that the stop has already undone.
            if (quitting()) {
                return 0;
            }
            mTsPlayer.Play();
            StartDecoders(Decoders());
            SetTimer(GetHwnd(), ID_TIMER_SIGNAL, kSignalPeriodMs, nullptr);
            ResetEvent(events[1]);
            mbTuningPass = 0;
        }
        // The pause ends early when the service asks the worker to stop.
        WaitForSingleObject(events[0], kPassPauseMs);
    }
}
