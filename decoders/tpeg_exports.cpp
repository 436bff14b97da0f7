// The TPEG library's C exports. Only these names leave the library.
#pragma GCC visibility push(default)
#include "decoders/decoder_counters.h"
#include "tpeg/decoder_library.h"
#pragma GCC visibility pop

#include <new>

#include "decoders/export_guard.h"
#include "decoders/tpeg_decoder.h"

using decoders::Guarded;

namespace {

constexpr std::int32_t kOk = 0;
constexpr std::int32_t kFailed = -1;

// Never destroyed: a decoding thread left inside the callback may outlive main.
decoders::TpegDecoder* Tpeg() {
    static auto* decoder = new (std::nothrow) decoders::TpegDecoder;
    return decoder;
}

template <typename Call>
std::int32_t Status(Call&& call) noexcept {
    return Guarded<std::int32_t>(kFailed, [&] {
        return Tpeg() != nullptr && std::forward<Call>(call)(*Tpeg()) ? kOk : kFailed;
    });
}

}  // namespace

extern "C" {

std::int32_t InitTpegLibrary(std::uintptr_t window) {
    return Status([&](decoders::TpegDecoder& d) { return d.Init(window); });
}

std::int32_t RegisterEventHandler(TpegEventCallback callback) {
    return Status([&](decoders::TpegDecoder& d) { return d.SetCallback(callback); });
}

std::int32_t SetLogLevel(std::int32_t level) {
    return Status([&](decoders::TpegDecoder& d) { return d.SetLogLevel(level); });
}

std::int32_t GetTSP(void) {
    return Guarded<std::int32_t>(0, [] { return Tpeg() ? Tpeg()->Tsp() : 0; });
}

std::int32_t SetTSP(std::int32_t value) {
    return Status([&](decoders::TpegDecoder& d) { return d.SetTsp(value); });
}

std::int32_t SetTransferDataPath(const char16_t* folder) {
    return Status([&](decoders::TpegDecoder& d) { return d.SetFolder(folder); });
}

std::int32_t SetSelectParser(std::uint32_t mask) {
    return Status([&](decoders::TpegDecoder& d) { return d.SetSelection(mask); });
}

std::int32_t SetPoiOpsFlag(std::int32_t flag) {
    return Status([&](decoders::TpegDecoder& d) { return d.SetPoiOps(flag); });
}

std::int32_t SetTDCQueue(std::uintptr_t queue) {
    return Status([&](decoders::TpegDecoder& d) { return d.SetQueue(queue); });
}

std::int32_t StartTpegDecoder(void) {
    return Status([](decoders::TpegDecoder& d) { return d.Start(); });
}

std::int32_t StopTpegDecoder(void) {
    return Status([](decoders::TpegDecoder& d) { return d.Stop(); });
}

const char16_t* GetTransferDataPath(void) {
    return Guarded<const char16_t*>(nullptr, [] { return Tpeg() ? Tpeg()->Folder() : nullptr; });
}

std::int32_t TTBEventComplete(std::uintptr_t parameter, std::uint32_t code) {
    return Status([&](decoders::TpegDecoder& d) { return d.Acknowledge(parameter, code); });
}

std::int32_t UninitTpegLibrary(void) {
    return Status([](decoders::TpegDecoder& d) {
        d.Uninit();
        return true;
    });
}

std::int32_t GetTpegCounters(TpegCounters* counters) {
    if (counters == nullptr) {
        return kFailed;
    }
    return Status([&](decoders::TpegDecoder& d) {
        *counters = d.Counters();
        return true;
    });
}

}  // extern "C"
