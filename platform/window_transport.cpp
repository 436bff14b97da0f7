#include "platform/window_transport.h"

#include <atomic>
#include <mutex>

#include "platform/window_system.h"

namespace platform {
namespace {

std::atomic<WindowTransport*> gTransport{nullptr};

// Written once at start-up, read by the bus thread for every incoming message:
// a fixed table of atomics needs no lock on the reading side.
std::atomic<UINT> gInProcessMessages[kMaxInProcessMessages];
std::atomic<std::size_t> gInProcessCount{0};
std::mutex gInProcessLock;

}  // namespace

void InstallWindowTransport(WindowTransport* transport) {
    std::lock_guard announce(detail::AnnounceLock());
    std::vector<std::pair<HWND, std::u16string>> titled;
    {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        for (auto& [value, record] : system.windows) {
            record.announced = transport != nullptr && detail::WindowSystem::IsTopLevel(record) &&
                               !record.title.empty();
            if (record.announced) {
                titled.emplace_back(reinterpret_cast<HWND>(value), record.title);
            }
        }
        gTransport.store(transport, std::memory_order_release);
    }
    for (const auto& [hwnd, title] : titled) {
        transport->OnWindowTitleChanged(hwnd, title);
    }
}

WindowTransport* GetWindowTransport() {
    return gTransport.load(std::memory_order_acquire);
}

void DeliverSentMessage(InboundSend message, std::function<void(LRESULT)> onDone) {
    auto sent = std::make_unique<detail::SentMessage>();
    sent->hwnd = message.window;
    sent->message = message.message;
    sent->wParam = message.wParam;
    sent->lParam = message.lParam;
    sent->hasCopyData = message.message == WM_COPYDATA;
    sent->copyDataKind = message.copyDataKind;
    sent->copyData = std::move(message.copyData);
    sent->onDone = [onDone = std::move(onDone)](LRESULT result, bool) { onDone(result); };
    detail::QueueSent(std::move(sent));
}

bool KeepMessageInProcess(UINT message) {
    std::lock_guard lock(gInProcessLock);
    const std::size_t count = gInProcessCount.load();
    if (IsKeptInProcess(message)) {
        return true;
    }
    if (count == kMaxInProcessMessages) {
        return false;
    }
    gInProcessMessages[count].store(message);
    gInProcessCount.store(count + 1);
    return true;
}

bool IsKeptInProcess(UINT message) {
    const std::size_t count = gInProcessCount.load();
    for (std::size_t i = 0; i < count; ++i) {
        if (gInProcessMessages[i].load() == message) {
            return true;
        }
    }
    return false;
}

}  // namespace platform
