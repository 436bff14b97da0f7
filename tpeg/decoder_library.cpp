#include "tpeg/decoder_library.h"

#include <dlfcn.h>

#include <atomic>

#include "platform/format.h"
#include "platform/private_library.h"

namespace {

// Answers of a library that is not there: every call reports failure in the
// terms the service tests for.
namespace missing {
std::int32_t InitTDC(const std::uint32_t*) {
    return 0;
}
std::uintptr_t GetTpegQueue() {
    return 0;
}
std::int32_t GetTDCState() {
    return 0;
}
std::int32_t StartTDCDecode() {
    return 0;
}
std::int32_t StopTDCDecode() {
    return 0;
}
std::intptr_t FillMSCData(std::uintptr_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {
    return 0;
}
std::int32_t Fail() {
    return -1;
}
std::int32_t InitTpegLibrary(std::uintptr_t) {
    return -1;
}
std::int32_t RegisterEventHandler(TpegEventCallback) {
    return -1;
}
std::int32_t SetValue(std::int32_t) {
    return -1;
}
std::int32_t SetTransferDataPath(const char16_t*) {
    return -1;
}
std::int32_t SetSelectParser(std::uint32_t) {
    return -1;
}
std::int32_t SetTDCQueue(std::uintptr_t) {
    return -1;
}
const char16_t* GetTransferDataPath() {
    return nullptr;
}
std::int32_t TTBEventComplete(std::uintptr_t, std::uint32_t) {
    return -1;
}
}  // namespace missing

template <typename F>
void Bind(void* library, const char* name, F& slot) {
    if (library == nullptr) {
        return;
    }
    if (void* symbol = ::dlsym(library, name)) {
        slot = reinterpret_cast<F>(symbol);
    } else {
        platform::DebugPrintf(u"Decoder library lacks %s\r\n", name);
    }
}

void* Open(const char* file) {
    void* library = ::dlopen(platform::PrivateLibraryPath(file).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        platform::DebugPrintf(u"Decoder library %s not available: %s\r\n", file, why ? why : "");
    }
    return library;
}

DecoderLibrary LoadLibraries() {
    DecoderLibrary t{.InitTDC = missing::InitTDC,
                     .GetTpegQueue = missing::GetTpegQueue,
                     .GetTDCState = missing::GetTDCState,
                     .StartTDCDecode = missing::StartTDCDecode,
                     .StopTDCDecode = missing::StopTDCDecode,
                     .FillMSCData = missing::FillMSCData,
                     .UninitTDC = missing::Fail,
                     .InitTpegLibrary = missing::InitTpegLibrary,
                     .RegisterEventHandler = missing::RegisterEventHandler,
                     .SetLogLevel = missing::SetValue,
                     .GetTSP = missing::Fail,
                     .SetTSP = missing::SetValue,
                     .SetTransferDataPath = missing::SetTransferDataPath,
                     .SetSelectParser = missing::SetSelectParser,
                     .SetPoiOpsFlag = missing::SetValue,
                     .SetTDCQueue = missing::SetTDCQueue,
                     .StartTpegDecoder = missing::Fail,
                     .StopTpegDecoder = missing::Fail,
                     .GetTransferDataPath = missing::GetTransferDataPath,
                     .TTBEventComplete = missing::TTBEventComplete,
                     .UninitTpegLibrary = missing::Fail};
    // Loaded once and kept for the life of the process: the decoding thread
    // may still be inside the library when the service releases it.
    void* tdc = Open("libTdcdec.so");
    Bind(tdc, "InitTDC", t.InitTDC);
    Bind(tdc, "GetTpegQueue", t.GetTpegQueue);
    Bind(tdc, "GetTDCState", t.GetTDCState);
    Bind(tdc, "StartTDCDecode", t.StartTDCDecode);
    Bind(tdc, "StopTDCDecode", t.StopTDCDecode);
    Bind(tdc, "FillMSCData", t.FillMSCData);
    Bind(tdc, "UninitTDC", t.UninitTDC);
    void* tpeg = Open("libTpegdec_tdc.so");
    Bind(tpeg, "InitTpegLibrary", t.InitTpegLibrary);
    Bind(tpeg, "RegisterEventHandler", t.RegisterEventHandler);
    Bind(tpeg, "SetLogLevel", t.SetLogLevel);
    Bind(tpeg, "GetTSP", t.GetTSP);
    Bind(tpeg, "SetTSP", t.SetTSP);
    Bind(tpeg, "SetTransferDataPath", t.SetTransferDataPath);
    Bind(tpeg, "SetSelectParser", t.SetSelectParser);
    Bind(tpeg, "SetPoiOpsFlag", t.SetPoiOpsFlag);
    Bind(tpeg, "SetTDCQueue", t.SetTDCQueue);
    Bind(tpeg, "StartTpegDecoder", t.StartTpegDecoder);
    Bind(tpeg, "StopTpegDecoder", t.StopTpegDecoder);
    Bind(tpeg, "GetTransferDataPath", t.GetTransferDataPath);
    Bind(tpeg, "TTBEventComplete", t.TTBEventComplete);
    Bind(tpeg, "UninitTpegLibrary", t.UninitTpegLibrary);
    return t;
}

std::atomic<const DecoderLibrary*> gOverride{nullptr};

}  // namespace

const DecoderLibrary& Decoders() {
    if (const DecoderLibrary* fake = gOverride.load(std::memory_order_acquire)) {
        return *fake;
    }
    static const DecoderLibrary libraries = LoadLibraries();
    return libraries;
}

void SetDecoderLibrary(const DecoderLibrary* library) {
    gOverride.store(library, std::memory_order_release);
}
