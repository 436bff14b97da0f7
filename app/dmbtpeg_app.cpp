#include "app/dmbtpeg_app.h"

#include "app/service_globals.h"
#include "app/tdmb_main.h"
#include "platform/clock.h"
#include "platform/com.h"
#include "platform/device_fs.h"
#include "platform/format.h"
#include "platform/message_queue.h"
#include "platform/window.h"

#include <cstdlib>

using namespace platform;

namespace {

constexpr DWORD kPlayerPollMs = 500;
constexpr int kPlayerPollsBeforeGivingUp = 30;
constexpr DWORD kAfterPlayerMs = 100;

}  // namespace

bool CDmbTpegApp::InitInstance() {
    HANDLE mutex = CreateMutex(nullptr, TRUE, u"DmbTpeg");
    DWORD error = GetLastError();
    if (mutex != nullptr) {
        CloseHandle(mutex);
    }
    if (error == ERROR_ALREADY_EXISTS) {
        return false;
    }

    HANDLE marker =
        CreateFile(u"TPEGDMBINFO.ENV", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        DebugPrintf(u"[Vesk DMB] File Create TPEGDMBINFO.ENV ! \r\n");
        CloseHandle(marker);
    }

    for (int count = 0; FindWindow(nullptr, u"Lumo_TDMBPlayer") != nullptr; ++count) {
        DebugPrintf(u"\r\n[LUMO DMB] DMB VESK TPEG Count #%d# \r\n", count);
        if (count >= kPlayerPollsBeforeGivingUp) {
            gnExitStatus = kExitTunerBusy;
            return false;
        }
        Sleep(kPlayerPollMs);
    }
    Sleep(kAfterPlayerMs);

    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        TDmbMain mainWindow;
        m_pMainWnd = &mainWindow;
        mainWindow.DoModal();
        m_pMainWnd = nullptr;
        if (gbThreadsLeftRunning.load() == 1) {
            // A thread that would not end still uses the window's objects:
            // they are not destroyed, the process just ends.
            DebugPrintf(u"[Lumo DMB] ending with threads still running\r\n");
            std::_Exit(gnExitStatus.load());
        }
        CoUninitialize();
    }
    return true;
}

int CDmbTpegApp::Run() {
    MSG msg;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            break;
        }
    }
    return gnExitStatus.load();
}
