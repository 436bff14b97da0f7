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
    bool ending = false;
    if (!mTsPlayer.CreateGraphBuilder()) {
        DebugPrintf(u"[Lumo DMB] Could not create Filter Graph");
        EndDialog(IDOK);
        ending = true;
    } else {
        DebugPrintf(u"[Lumo DMB] mTsPlayer.CreateGraphBuilder OK!\r\n");
        CreateEvents();
        mbTuningPass = 0;
        Sleep(kAfterEventsMs);
        if (Create1(0, 0, nullptr) == 1) {
            BuildGraph();
            ReportChannels();
        } else {
            DebugPrintf(u"[Lumo DMB] Could not create Thread\r\n");
            EndDialog(IDOK);
            ending = true;
        }
    }
    mTsPlayer.AudioCommand(kAudioSetLevel, &mnAudioLevel);
    mbDecoderRunning = 0;
    InitDecoders(Decoders());
    UpdateChannelInfo();
    SetTimer(GetHwnd(), ID_TIMER_CAMERA, kCameraPeriodMs, nullptr);
    if (!mbScanFileFound && !ending && gbServiceClosing.load() == 0) {
        // A device without any channel list would never find its service.
        DebugPrintf(u"No scan file: scanning the channels\r\n");
        AutoScan(true);
    }
}

void TDmbMain::CameraStep() {
    // The scan thread owns the graph while it runs; the camera manager is
    // looked at again on the next tick.
    if (gbScanRunning.load() == 1) {
        return;
    }
    bool present = CameraManagerPresent();
    if (present && gbReceptionOn.load() == 1) {
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
    KillTimer(GetHwnd(), ID_TIMER_SIGNAL);
    if (mbDecoderRunning.load() == 1) {
        StopDecoders(Decoders());
    }
    if (gbServiceClosing.load() == 1) {
        return;
    }
    if (mhThread.load() != nullptr) {
        DebugPrintf(u"[Lumo DMB] mhThread! \r\n");
    }
    // The worker ends before the graph stops, so no pass of it can set the
    // graph running again after the stop.
    StopWorker();
    mTsPlayer.StopGraph();
    CloseEvents();
    mTsPlayer.DisconnectFilters();
    mTsPlayer.RemoveDataFilter();
    mTsPlayer.ReleaseGraph();
    PostMessage(HWND_BROADCAST, TC_SUSPEND_ACK.load(), 0, 0);
    UninitDecoders();
}

void TDmbMain::SignalStep() {
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
            NotifyNavApp(WM_DMBANTLV.load(), 0);
            mbReportSignal = 1;
        } else {
            ++gnNoSignalCount;
        }
        return;
    }
    gnNoSignalCount = 0;
    if (mbReportSignal.load() == 1) {
        DebugPrintf(u"[LUMO DMB] NoSignal false \r\n");
        NotifyNavApp(WM_DMBANTLV.load(), 1);
        if (gnSignalReport.load() >= kSignalRepeats) {
            mbReportSignal = 0;
        } else {
            ++gnSignalReport;
        }
    }
}

std::uint32_t TDmbMain::Run1() {
    const HANDLE events[3] = {mhQuitEvent, mhChannelEvent, mhPassEndEvent};
    for (;;) {
        if (WaitForMultipleObjects(3, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
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
                DebugPrintf(u"[TDMBPlayer] Frequency is different(%d, %d)\r\n", reported, info.dwFrequency);
                ok = false;
            }
        }
        if (ok && tuning()) {
            copyInfo();
            get = {};
            ok = mTsPlayer.GetTunerParam(kTunerGetService, &get);
            auto service = static_cast<std::int32_t>(get.word[1]);
            auto subChannel = static_cast<std::int32_t>(get.word[2]);
            if (ok && (static_cast<std::uint32_t>(service) != info.dwServiceId || subChannel != info.dwSubChannel)) {
                DebugPrintf(u"[TDMBPlayer] Channel is diff(%d, %d)(%d, %d)\r\n", service,
                            static_cast<std::int32_t>(info.dwServiceId), subChannel, info.dwSubChannel);
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
