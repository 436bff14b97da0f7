// The TPEG library: settings, the decoding thread and its start and stop.
//
// Every setting needs InitTpegLibrary first. Starting needs the queue
// (SetTDCQueue) and the data folder (SetTransferDataPath); the folder cannot
// change while the decoder runs. Stop wakes the thread and waits for it a
// bounded time: a thread blocked inside the event callback (the service's
// window may be the very thread that stops us) is left to end by itself once
// the callback returns, and until it has, the decoder cannot start again.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "decoders/decoder_counters.h"
#include "decoders/decoding_context.h"
#include "decoders/tpeg_queue.h"
#include "platform/types.h"
#include "tpeg/decoder_library.h"

namespace decoders {

class TpegDecoder {
  public:
    // How long Stop waits for the thread, in platform milliseconds.
    static constexpr std::uint32_t kStopWaitMs = 2000;

    ~TpegDecoder();

    bool Init(std::uintptr_t window);
    void Uninit();
    bool SetCallback(TpegEventCallback callback);
    bool SetLogLevel(std::int32_t level);
    bool SetTsp(std::int32_t value);
    std::int32_t Tsp();
    bool SetFolder(const char16_t* folder);
    const char16_t* Folder();
    bool SetSelection(std::uint32_t mask);
    bool SetPoiOps(std::int32_t flag);
    bool SetQueue(std::uintptr_t handle);
    bool Start();
    bool Stop();
    bool Acknowledge(std::uintptr_t parameter, std::uint32_t code);
    TpegCounters Counters();

  private:
    struct ThreadStart;
    static platform::DWORD ThreadMain(void* parameter);

    bool RunningLocked();
    void StopLocked(std::unique_lock<std::mutex>& lock);
    void ReleaseQueueLocked();

    std::mutex m_lock;
    std::shared_ptr<DecodingContext> m_context;
    TpegQueue* m_queue = nullptr;
    std::int32_t m_tsp = 0;
    platform::HANDLE m_thread = nullptr;
    platform::HANDLE m_stop = nullptr;
    TpegCounters m_lastCounters{};
};

}  // namespace decoders
