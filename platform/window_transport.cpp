#include "platform/window_transport.h"

#include <atomic>

#include "platform/window_system.h"

namespace platform {
namespace {

std::atomic<WindowTransport*> gTransport{nullptr};

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
    sent->onDone = std::move(onDone);
    detail::QueueSent(std::move(sent));
}

}  // namespace platform
