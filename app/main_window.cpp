#include <algorithm>

#include "app/service_globals.h"
#include "app/tdmb_main.h"
#include "platform/clock.h"
#include "platform/device_fs.h"
#include "platform/format.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "platform/window.h"
#include "platform/window_transport.h"
#include "support/configuration.h"
#include "tpeg/tpeg_events.h"

using namespace platform;

namespace {

const DialogTemplate& MainWindowTemplate() {
    static const DialogTemplate dialog{kMainWindowTemplate, WS_POPUP, 0, 0, 23, 30, u""};
    return dialog;
}

}  // namespace

TDmbMain::TDmbMain() : Dialog(MainWindowTemplate()), mTsPlayer(&FeedMscData) {}

TDmbMain::~TDmbMain() {
    gMainWindow = nullptr;
    // Normally ShutdownService has ended the worker; a service that ended
    // without it (a failed start) must still not free what a worker uses.
    if (!StopWorker() || !WaitForScanEnd()) {
        gbThreadsLeftRunning = 1;
        return;
    }
    // A failed start ends without the shutdown sequence: the graph it made
    // is still held here.
    mTsPlayer.StopGraph();
    mTsPlayer.DisconnectFilters();
    mTsPlayer.RemoveDataFilter();
    mTsPlayer.ReleaseGraph();
    CloseEvents();
    if (mhScanDone != nullptr) {
        CloseHandle(mhScanDone);
    }
    if (mbLockReady) {
        DeleteCriticalSection(&mcsChannelInfo);
    }
}

std::atomic<std::int32_t>& TDmbMain::gnSignalReportRef() {
    return gnSignalReport;
}

ChannelSelection TDmbMain::Selection() {
    return {mChannel, mChannelInfo, mChannelState, mszChannelLabel, mcsChannelInfo, mhChannelEvent};
}

GraphBuild TDmbMain::Build() {
    return {mTsPlayer,      mChannelState, mbTuningPass,        mhPassEndEvent,
            mcsChannelInfo, mnGraphMode,   mChannel.mdwCountry, mChannel.mdwBand};
}

void TDmbMain::UpdateChannelInfo() {
    ::UpdateChannelInfo(Selection());
}

void TDmbMain::ReportChannels() {
    ::ReportChannels(mChannel);
}

bool TDmbMain::BuildGraph() {
    return ::BuildGraph(Build());
}

void TDmbMain::OpenMarkerFile() {
    HANDLE marker =
        CreateFile(u"TPEGDMBINFO.ENV", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        DebugPrintf(u"[Vesk DMB] File Create TPEGDMBINFO.ENV ! \r\n");
        CloseHandle(marker);
    }
}

BOOL TDmbMain::InitMainWindow() {
    gMainWindow = GetHwnd();
    // A decoder event names the event the decoder waits for; one from another
    // process could acknowledge it before its file was announced.
    KeepMessageInProcess(WM_TPEG_EVENT);
    SetWindowText(GetHwnd(), kMainWindowTitle);
    OpenMarkerFile();
    std::fill(std::begin(mszChannelLabel), std::end(mszChannelLabel), u'\0');
    mnGraphMode = kGraphModeData;
    mChannelState = kChannelInvalid;
    SetDShowThreadPriority(true);
    mbScanFileFound = mChannel.Load();
    mbReportSignal = 0;
    InitializeCriticalSection(&mcsChannelInfo);
    mbLockReady = true;
    SetWindowPos(GetHwnd(), HWND_BOTTOM, 800, 0, 0, 0, SWP_HIDEWINDOW | SWP_NOACTIVATE);
    SetTimer(GetHwnd(), ID_TIMER_START, 7000, nullptr);
    return TRUE;
}

void TDmbMain::CreateEvents() {
    mhQuitEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    mhChannelEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    mhPassEndEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
}

void TDmbMain::CloseEvents() {
    for (HANDLE* event : {&mhQuitEvent, &mhChannelEvent, &mhPassEndEvent}) {
        if (*event != nullptr) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
}

bool TDmbMain::StopWorker() {
    HANDLE thread = mhThread.load();
    if (thread == nullptr) {
        return true;
    }
    SetEvent(mhQuitEvent);
    // The worker may be in a send to the navigation application, which may be
    // sending to this thread in turn: the wait handles those sends. The worker
    // leaves within one round of tuner calls and one bounded send.
    if (WaitForSingleObjectHandlingSends(thread, kThreadWaitLimitMs) != WAIT_OBJECT_0) {
        DebugPrintf(u"[Lumo DMB] worker thread did not end within %u ms\r\n", kThreadWaitLimitMs);
        return false;
    }
    CloseHandle(thread);
    mhThread = nullptr;
    return true;
}

bool TDmbMain::WaitForScanEnd() {
    if (mhScanDone == nullptr) {
        return true;
    }
    if (WaitForSingleObjectHandlingSends(mhScanDone, kThreadWaitLimitMs) != WAIT_OBJECT_0) {
        DebugPrintf(u"[Lumo DMB] channel scan did not end within %u ms\r\n", kThreadWaitLimitMs);
        return false;
    }
    return true;
}

bool TDmbMain::GiveUpUnfinished() const {
    return gbReceptionOn.load() == 0 && mhThread.load() != nullptr;
}

int TDmbMain::ShutdownService() {
    DebugPrintf(u"[Lumo DMB] DestoryWindow Call!\r\n");
    KillTimer(GetHwnd(), ID_TIMER_CAMERA);
    KillTimer(GetHwnd(), ID_TIMER_SIGNAL);
    // The worker looks at the quit event right before it would start
    // reception, so from here on it starts nothing new.
    if (mhQuitEvent != nullptr) {
        SetEvent(mhQuitEvent);
    }
    const bool decodersWereRunning = mbDecoderRunning.load() == 1;
    if (decodersWereRunning) {
        StopDecoders(Decoders());
    }
    if (gbScanRunning.load() == 1 || ScanBusy()) {
        gbScanAbort = 1;
    }
    // A scan in its last steps (saving, rebuilding) has cleared its flag
    // already but still uses the list and the graph.
    const bool scanEnded = WaitForScanEnd();
    if (scanEnded) {
        gbScanRunning = 0;
    }
    if (mhThread.load() != nullptr) {
        DebugPrintf(u"[Lumo DMB] mhThread! \r\n");
    }
    const bool workerEnded = StopWorker();
    if (!scanEnded || !workerEnded) {
        // What they still use stays until the process ends; the navigation
        // application is told the tuner is free all the same.
        gbThreadsLeftRunning = 1;
        PostMessage(HWND_BROADCAST, TC_SUSPEND_ACK.load(), 0, 0);
        return 1;
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
    SetDShowThreadPriority(false);
    PostMessage(HWND_BROADCAST, TC_SUSPEND_ACK.load(), 0, 0);
    UninitDecoders();
    Sleep(100);
    return 1;
}
