#include "app/service_globals.h"

#include "platform/message_queue.h"
#include "tpeg/tpeg_events.h"

std::atomic<std::int32_t> gbReceptionOn{1};
std::atomic<std::int32_t> gbServiceClosing{0};
std::atomic<std::int32_t> gnNoSignalCount{0};
std::atomic<std::int32_t> gnSignalReport{0};
std::atomic<std::int32_t> gbScanRunning{0};
std::atomic<std::int32_t> gbScanAbort{0};

std::atomic<int> gnExitStatus{0};
std::atomic<std::int32_t> gbThreadsLeftRunning{0};
std::atomic<platform::HWND> gMainWindow{nullptr};
std::atomic<platform::UINT> TC_SUSPEND_ACK{0};
std::atomic<platform::UINT> TCC_TDMB_RESET_CHANNEL_MSG{0};
std::atomic<platform::UINT> TCC_TDMB_AUDIOCHANGE_MSG{0};
std::atomic<platform::UINT> TCC_TDMB_RECONFIG_MSG{0};
std::atomic<platform::UINT> DMBTPEG_CHANNEL_SCAN_MSG{0};

void RegisterServiceMessages() {
    WM_DMBANTLV = platform::RegisterWindowMessage(kReceptionStateName);
    TC_SUSPEND_ACK = platform::RegisterWindowMessage(kSuspendAckName);
    DMBTPEG_CHANNEL_SCAN_MSG = platform::RegisterWindowMessage(kScanRequestName);
}
