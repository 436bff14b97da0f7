// The TDC library's C exports. Only these names leave the library.
#pragma GCC visibility push(default)
#include "decoders/decoder_counters.h"
#include "tpeg/decoder_library.h"
#pragma GCC visibility pop

#include "decoders/export_guard.h"
#include "decoders/tdc_decoder.h"

#include <new>

using decoders::Guarded;

namespace {

// Never destroyed: the streaming thread may still call in while the process exits.
decoders::TdcDecoder* Tdc() {
    static auto* decoder = new (std::nothrow) decoders::TdcDecoder;
    return decoder;
}

}  // namespace

extern "C" {

std::int32_t InitTDC(const std::uint32_t* config) {
    return Guarded<std::int32_t>(0, [&] { return Tdc() && Tdc()->Init(config) ? 1 : 0; });
}

std::uintptr_t GetTpegQueue(void) {
    return Guarded<std::uintptr_t>(0, [] { return Tdc() ? Tdc()->QueueHandle() : 0; });
}

std::int32_t GetTDCState(void) {
    return Guarded<std::int32_t>(
        0, [] { return Tdc() ? static_cast<std::int32_t>(Tdc()->State()) : 0; });
}

std::int32_t StartTDCDecode(void) {
    return Guarded<std::int32_t>(0, [] { return Tdc() && Tdc()->Start() ? 1 : 0; });
}

std::int32_t StopTDCDecode(void) {
    return Guarded<std::int32_t>(0, [] { return Tdc() && Tdc()->Stop() ? 1 : 0; });
}

std::intptr_t FillMSCData(std::uintptr_t a, std::uintptr_t b, std::uintptr_t c, std::uintptr_t d) {
    return Guarded<std::intptr_t>(0, [&] { return Tdc() ? Tdc()->Feed(a, b, c, d) : 0; });
}

std::int32_t UninitTDC(void) {
    return Guarded<std::int32_t>(0, [] {
        if (Tdc() == nullptr) {
            return 0;
        }
        Tdc()->Uninit();
        return 1;
    });
}

std::int32_t GetTDCCounters(TdcCounters* counters) {
    return Guarded<std::int32_t>(-1, [&] {
        if (counters == nullptr || Tdc() == nullptr) {
            return -1;
        }
        *counters = Tdc()->Counters();
        return 0;
    });
}

}  // extern "C"
