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

void RegisterOnce(std::atomic<UINT>& slot, const WCHAR* name) {
    if (slot.load() == 0) {
        slot = RegisterWindowMessage(name);
    }
}

}  // namespace

LRESULT TDmbMain::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    ++mnHandlerDepth;
    LRESULT result = MainWindowProc(message, wParam, lParam);
    if (--mnHandlerDepth == 0 && mbEndPending) {
        mbEndPending = false;
        FinishEnd();
    }
    return result;
}

LRESULT TDmbMain::MainWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NAVAPP_REQUEST) {
        if (wParam == kNavAppStatus) {
            if (mbDecoderRunning.load() != 0) {
                DebugPrintf(u"\r\n [LUMO DMB TPEG] SetBSTpeg Running - skipped\r\n\r\n");
                NotifyNavApp(WM_DMBANTLV.load(), kReceptionAvailable);
                gnSignalReport = 0;
                mbReportSignal = 1;
            }
        } else if (wParam == kNavAppEnd) {
            DebugPrintf(u"\r\n ##### ROVANGO END !!! ##### \r\n");
            return EndSequence(u"ROVAN_END", message, wParam, lParam);
        }
    } else if (wParam == 30) {
        // The platform's own end request; any other lParam only gets the
        // default processing, even for the close message.
        if (lParam == 1) {
            return EndSequence(u"ROVAN_END", message, wParam, lParam);
        }
    } else if (message == WM_CLOSE) {
        if (gbServiceClosing.load() == 1) {
            return 0;
        }
        KillTimer(GetHwnd(), ID_TIMER_START);
        return EndSequence(u"WM_CLOSE", message, wParam, lParam);
    }
    return Dispatch(message, wParam, lParam);
}

LRESULT TDmbMain::EndSequence(const WCHAR* tag, UINT message, WPARAM wParam, LPARAM lParam) {
    if (gbServiceClosing.load() == 1) {
        return 0;
    }
    DebugPrintf(u"%s\r\n", tag);
    gbServiceClosing = 1;
    if (mnHandlerDepth > 1) {
        // Received while another handler waits (for the worker, the scan or
        // a peer): that handler still uses what the shutdown releases. It
        // winds down now that the service is closing, and the shutdown runs
        // when it has returned.
        if (gbScanRunning.load() == 1 || ScanBusy()) {
            gbScanAbort = 1;
        }
        mbEndPending = true;
        return 0;
    }
    FinishEnd();
    return Dispatch(message, wParam, lParam);
}

void TDmbMain::FinishEnd() {
    ShutdownService();
    PostQuitMessage(0);
}

LRESULT TDmbMain::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    RegisterOnce(TCC_TDMB_RESET_CHANNEL_MSG, kPlayerResetChannelName);
    RegisterOnce(TCC_TDMB_AUDIOCHANGE_MSG, kPlayerAudioChangeName);
    RegisterOnce(TCC_TDMB_RECONFIG_MSG, kPlayerReconfigName);
    if (message == TCC_TDMB_RESET_CHANNEL_MSG.load()) {
        DebugPrintf(u"[TDMBPlayer] TCC_TDMB_RESET_CHANNEL_MSG\r\n");
    }
    switch (message) {
        case WM_TIMER:
            OnServiceTimer(wParam);
            return 0;
        case WM_TPEG_EVENT:
            return OnTpegEvent(wParam, lParam);
        case WM_PAINT: {
            PAINTSTRUCT paint;
            BeginPaint(GetHwnd(), &paint);
            EndPaint(GetHwnd(), &paint);
            return 0;
        }
        default:
            break;
    }
    if (message != 0 && message == DMBTPEG_CHANNEL_SCAN_MSG.load()) {
        AutoScan(wParam != kScanAbort);
        return 1;
    }
    return Dialog::WindowProc(message, wParam, lParam);
}
