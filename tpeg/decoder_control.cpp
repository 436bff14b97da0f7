#include "tpeg/decoder_control.h"

#include "platform/format.h"
#include "tpeg/decoder_library.h"
#include "tpeg/tpeg_events.h"

using platform::DebugPrintf;

namespace {

// Queue capacity in bytes, largest data group in bytes, packet mode with data
// groups.
constexpr std::uint32_t kTdcConfig[3] = {0x20000, 0x4000, 1};
// Every application the service knows.
constexpr std::uint32_t kAllParsers = 0x7FFF;

void Log(const char16_t* text) {
    DebugPrintf(u"%s\r\n", text);
}

}  // namespace

int InitDecoders(const DecoderState& state) {
    const DecoderLibrary& lib = Decoders();
    if (lib.InitTDC(kTdcConfig) == 0) {
        return 0;
    }
    if (lib.InitTpegLibrary(reinterpret_cast<std::uintptr_t>(state.hWnd)) != 0) {
        Log(u"Tpeg decoder 초기화 에러");
        return 0;
    }
    if (lib.RegisterEventHandler(&OnDecoderEvent) != 0) {
        Log(u"Tpeg Decoder RegisterEvent 실패");
        return 0;
    }
    if (lib.SetLogLevel(0) != 0) {
        Log(u"Tpeg Decoder SetLogLevel 실패");
        return 0;
    }
    if (lib.GetTSP() != 0 && lib.SetTSP(0) != 0) {
        Log(u"Tpeg Decoder SetTSP 실패");
        return 0;
    }
    if (lib.SetTransferDataPath(kTpegDataFolder) != 0) {
        Log(u"Tpeg data file folder 생성에러");
        return 0;
    }
    Log(u"Tpeg data file folder 생성완료");
    lib.SetSelectParser(kAllParsers);
    lib.SetPoiOpsFlag(1);
    if (std::uintptr_t queue = lib.GetTpegQueue(); queue != 0) {
        lib.SetTDCQueue(queue);
    }
    return 1;
}

void StartDecoders(const DecoderState& state) {
    if (state.mbDecoderRunning.load() == 1) {
        return;
    }
    const DecoderLibrary& lib = Decoders();
    if (lib.StartTpegDecoder() != 0) {
        return;
    }
    Log(u"[DMB] Start Tpeg Decoder");
    if (lib.GetTDCState() != 1 && lib.GetTDCState() != 2) {
        return;
    }
    if (lib.StartTDCDecode() <= 0) {
        return;
    }
    Log(u"[DMB] Start Tpeg Decoder2");
    state.mbDecoderRunning.store(1);
    NotifyNavApp(WM_DMBANTLV.load(), kReceptionAvailable);
    state.gnSignalReport.store(0);
    state.mbReportSignal.store(1);
}

void StopDecoders(const DecoderState& state) {
    if (state.mbDecoderRunning.load() != 1) {
        return;
    }
    const DecoderLibrary& lib = Decoders();
    if (lib.StopTpegDecoder() != 0) {
        return;
    }
    Log(u"Stop Tpeg Decoder");
    if (lib.StopTDCDecode() > 0) {
        Log(u"Stop TDC Decoder");
    }
}

void UninitDecoders() {
    const DecoderLibrary& lib = Decoders();
    lib.UninitTpegLibrary();
    lib.UninitTDC();
}

std::intptr_t FeedMscData(std::uintptr_t a, std::uintptr_t b, std::uintptr_t c, std::uintptr_t d) {
    return Decoders().FillMSCData(a, b, c, d);
}
