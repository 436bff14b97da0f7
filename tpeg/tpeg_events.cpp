#include "tpeg/tpeg_events.h"

#include <algorithm>

#include "platform/format.h"
#include "platform/message_queue.h"
#include "platform/window.h"
#include "platform/window_messages.h"
#include "tpeg/decoder_library.h"

using namespace platform;

std::atomic<UINT> WM_DMBANTLV{0};

namespace {

void LogLine(const WCHAR* text) {
    DebugPrintf(u"%s\r\n", text);
}

bool SendToNavApp(HWND navApp, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    return SendMessageTimeout(navApp, message, wParam, lParam, SMTO_ABORTIFHUNG, kNavAppSendLimitMs,
                              &result) != 0;
}

}  // namespace

const TpegEvent* FindTpegEvent(TpegEventCode code) {
    auto it = std::find_if(std::begin(kTpegEvents), std::end(kTpegEvents),
                           [code](const TpegEvent& e) { return e.code == code; });
    return it == std::end(kTpegEvents) ? nullptr : it;
}

std::intptr_t OnDecoderEvent(std::uintptr_t window, std::uint32_t code, std::uintptr_t parameter) {
    return SendMessage(reinterpret_cast<HWND>(window), WM_TPEG_EVENT, code,
                       static_cast<LPARAM>(parameter));
}

LRESULT OnTpegEvent(WPARAM code, LPARAM parameter) {
    auto eventCode = static_cast<TpegEventCode>(code);
    const TpegEvent* event = FindTpegEvent(eventCode);
    if (event != nullptr && event->logLine != nullptr) {
        LogLine(event->logLine);
    }
    DeliverTpegFile(eventCode);
    Decoders().TTBEventComplete(static_cast<std::uintptr_t>(parameter), eventCode);
    return 1;
}

void DeliverTpegFile(TpegEventCode code) {
    WCHAR path[kPathUnits] = {};
    const char16_t* folder = Decoders().GetTransferDataPath();
    if (folder == nullptr || folder[0] == u'\0') {
        return;
    }
    HWND navApp = FindWindow(nullptr, kNavAppTitle);
    if (navApp == nullptr) {
        DebugPrintf(u"Application not found [%s]\r\n", kNavAppTitle);
        return;
    }
    const TpegEvent* event = FindTpegEvent(code);
    if (event == nullptr) {
        return;
    }
    // A path that does not fit is refused: a truncated one would name another
    // file, and the navigation application would read the wrong data.
    if (WideLength(folder) + 1 + WideLength(event->fileName) + 1 > kPathUnits) {
        DebugPrintf(u"TPEG file path too long, not delivered [%s]\r\n", event->fileName);
        return;
    }
    std::size_t length = FormatWide(path, u"%s\\%s", folder, event->fileName);
    COPYDATASTRUCT record{};
    record.dwData = event->kind;
    record.cbData = static_cast<DWORD>(length * sizeof(WCHAR));
    record.lpData = path;
    if (!SendToNavApp(navApp, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record))) {
        DebugPrintf(u"TPEG file not delivered: [%s] did not answer\r\n", kNavAppTitle);
    }
    LogLine(path);
}

void NotifyNavApp(UINT message, WPARAM state) {
    HWND navApp = FindWindow(nullptr, kNavAppTitle);
    if (navApp == nullptr) {
        DebugPrintf(u"DMANTLV error - application not found [%s]\r\n", kNavAppTitle);
        return;
    }
    if (!SendToNavApp(navApp, message, state, 0)) {
        DebugPrintf(u"DMANTLV error - state %u not delivered: [%s] did not answer\r\n",
                    static_cast<UINT>(state), kNavAppTitle);
    }
}
