#include "decoders/tpeg_decoder.h"

#include <exception>
#include <new>

#include "platform/format.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"

namespace decoders {

struct TpegDecoder::ThreadStart {
    std::shared_ptr<DecodingContext> context;
    TpegQueue* queue;  // one reference, the thread's own
    platform::HANDLE stop;
};

TpegDecoder::~TpegDecoder() {
    Uninit();
}

platform::DWORD TpegDecoder::ThreadMain(void* parameter) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
    try {
        start->context->Run(*start->queue, start->stop);
    } catch (const std::exception& error) {
        // Out of memory for the messages: the decoder stops rather than take the process down.
        platform::DebugPrintf(u"TPEG decoder thread ended: %s\r\n", error.what());
    }
    start->queue->Release();
    platform::CloseHandle(start->stop);
    return 0;
}

bool TpegDecoder::Init(std::uintptr_t window) {
    Uninit();
    auto context = std::make_shared<DecodingContext>(window);
    if (!context->Valid()) {
        return false;
    }
    std::lock_guard lock(m_lock);
    m_context = std::move(context);
    m_lastCounters = {};
    return true;
}

void TpegDecoder::Uninit() {
    std::unique_lock lock(m_lock);
    StopLocked(lock);
    if (m_context) {
        m_lastCounters = m_context->Counters();
    }
    m_context.reset();
    ReleaseQueueLocked();
    m_tsp = 0;
}

void TpegDecoder::ReleaseQueueLocked() {
    if (m_queue != nullptr) {
        m_queue->Release();
        m_queue = nullptr;
    }
}

bool TpegDecoder::SetCallback(TpegEventCallback callback) {
    std::lock_guard lock(m_lock);
    if (!m_context) {
        return false;
    }
    m_context->SetCallback(callback);
    return true;
}

bool TpegDecoder::SetLogLevel(std::int32_t level) {
    std::lock_guard lock(m_lock);
    if (!m_context || level < 0) {
        return false;
    }
    m_context->SetLogLevel(level);
    return true;
}

bool TpegDecoder::SetTsp(std::int32_t value) {
    std::lock_guard lock(m_lock);
    if (!m_context) {
        return false;
    }
    m_tsp = value;
    return true;
}

std::int32_t TpegDecoder::Tsp() {
    std::lock_guard lock(m_lock);
    return m_tsp;
}

bool TpegDecoder::SetFolder(const char16_t* folder) {
    std::lock_guard lock(m_lock);
    if (!m_context || RunningLocked()) {
        return false;
    }
    return m_context->SetFolder(folder);
}

const char16_t* TpegDecoder::Folder() {
    std::lock_guard lock(m_lock);
    if (!m_context || !m_context->HasFolder()) {
        return nullptr;
    }
    return m_context->Folder();
}

bool TpegDecoder::SetSelection(std::uint32_t mask) {
    std::lock_guard lock(m_lock);
    if (!m_context) {
        return false;
    }
    m_context->SetSelection(mask);
    return true;
}

bool TpegDecoder::SetPoiOps(std::int32_t flag) {
    std::lock_guard lock(m_lock);
    if (!m_context) {
        return false;
    }
    m_context->SetPoiOps(flag != 0);
    return true;
}

bool TpegDecoder::SetQueue(std::uintptr_t handle) {
    TpegQueue* queue = TpegQueue::FromHandle(handle);
    std::lock_guard lock(m_lock);
    if (!m_context || queue == nullptr) {
        return false;
    }
    // The running thread keeps reading the queue it started with.
    queue->Retain();
    ReleaseQueueLocked();
    m_queue = queue;
    return true;
}

bool TpegDecoder::RunningLocked() {
    if (m_thread == nullptr) {
        return false;
    }
    if (platform::WaitForSingleObject(m_thread, 0) != platform::WAIT_OBJECT_0) {
        return true;
    }
    platform::CloseHandle(m_thread);
    platform::CloseHandle(m_stop);
    m_thread = nullptr;
    m_stop = nullptr;
    return false;
}

bool TpegDecoder::Start() {
    std::lock_guard lock(m_lock);
    if (!m_context || m_queue == nullptr || !m_context->HasFolder()) {
        return false;
    }
    if (RunningLocked()) {
        // Running already, or a stopped thread still inside the callback.
        return platform::WaitForSingleObject(m_stop, 0) != platform::WAIT_OBJECT_0;
    }
    platform::UniqueHandle stop(
        platform::CreateEvent(nullptr, platform::TRUE, platform::FALSE, nullptr));
    platform::UniqueHandle threadStop(stop ? platform::DuplicateHandle(stop.Get()) : nullptr);
    if (!threadStop) {
        return false;
    }
    auto* start = new (std::nothrow) ThreadStart{m_context, m_queue, threadStop.Get()};
    if (start == nullptr) {
        return false;
    }
    m_context->PrepareRun();
    m_queue->Retain();
    platform::HANDLE thread = platform::CreateThread(nullptr, 0, &ThreadMain, start, 0, nullptr);
    if (thread == nullptr) {
        m_queue->Release();
        delete start;
        return false;
    }
    threadStop.Release();
    m_thread = thread;
    m_stop = stop.Release();
    return true;
}

void TpegDecoder::StopLocked(std::unique_lock<std::mutex>& lock) {
    if (m_thread == nullptr) {
        return;
    }
    const platform::HANDLE thread = m_thread;
    platform::SetEvent(m_stop);
    // Unlocked while waiting: the thread's callback may call back into the library.
    lock.unlock();
    // The thread may be inside the event callback, sending to a window of the
    // very thread that stops it: that send is handled meanwhile.
    const bool ended =
        platform::WaitForSingleObjectHandlingSends(thread, kStopWaitMs) == platform::WAIT_OBJECT_0;
    lock.lock();
    if (!ended) {
        platform::DebugPrintf(u"TPEG decoder thread still inside the event callback\r\n");
    }
    if (m_thread == thread) {
        RunningLocked();
    }
}

bool TpegDecoder::Stop() {
    std::unique_lock lock(m_lock);
    if (!m_context) {
        return false;
    }
    StopLocked(lock);
    return true;
}

bool TpegDecoder::Acknowledge(std::uintptr_t parameter, std::uint32_t code) {
    std::shared_ptr<DecodingContext> context;
    {
        std::lock_guard lock(m_lock);
        context = m_context;
    }
    return context && context->Acknowledge(parameter, code);
}

TpegCounters TpegDecoder::Counters() {
    std::lock_guard lock(m_lock);
    return m_context ? m_context->Counters() : m_lastCounters;
}

}  // namespace decoders
