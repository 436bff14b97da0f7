#include "platform/window.h"

#include <unistd.h>

#include <algorithm>

#include "platform/kernel.h"
#include "platform/window_system.h"
#include "platform/window_transport.h"

namespace platform {
namespace detail {

void ForgetWindowMessages(ThreadQueue& queue, HWND hwnd,
                          std::vector<std::unique_ptr<SentMessage>>& failed) {
    for (auto it = queue.sent.begin(); it != queue.sent.end();) {
        if ((*it)->hwnd == hwnd) {
            failed.push_back(std::move(*it));
            it = queue.sent.erase(it);
        } else {
            ++it;
        }
    }
    std::erase_if(queue.posted, [hwnd](const MSG& msg) { return msg.hwnd == hwnd; });
    RemoveTimersOf(queue, hwnd);
}

Window* RemoveWindowRecord(HWND hwnd) {
    Window* object = nullptr;
    std::vector<std::unique_ptr<SentMessage>> failed;
    {
        std::lock_guard announce(AnnounceLock());
        bool announced = false;
        {
            auto& system = Windows();
            std::lock_guard lock(system.lock);
            WindowRecord* record = system.Find(hwnd);
            if (record == nullptr) {
                return nullptr;
            }
            object = record->object;
            announced = record->announced;
            ForgetWindowMessages(*record->owner, hwnd, failed);
            std::erase(system.zOrder, hwnd);
            system.windows.erase(reinterpret_cast<std::uintptr_t>(hwnd));
        }
        if (WindowTransport* transport = GetWindowTransport(); transport && announced) {
            transport->OnWindowDestroyed(hwnd);
        }
    }
    for (auto& message : failed) {
        message->onDone(0, false);
    }
    return object;
}

LRESULT CallWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    Window* object = nullptr;
    {
        auto& system = Windows();
        std::lock_guard lock(system.lock);
        WindowRecord* record = system.Find(hwnd);
        if (record == nullptr || record->owner->threadId != GetCurrentThreadId()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        object = record->object;
    }
    return object->WindowProc(message, wParam, lParam);
}

void DestroyWindowsOfThread(const std::shared_ptr<ThreadQueue>& queue) {
    std::vector<HWND> owned;
    {
        auto& system = Windows();
        std::lock_guard lock(system.lock);
        for (const auto& [value, record] : system.windows) {
            if (record.owner == queue) {
                owned.push_back(reinterpret_cast<HWND>(value));
            }
        }
    }
    // Oldest first, so parents go before their children and take them along.
    std::sort(owned.begin(), owned.end());
    for (HWND hwnd : owned) {
        if (IsWindow(hwnd)) {
            DestroyWindow(hwnd);
        }
    }
    for (HWND hwnd : owned) {
        if (Window* object = RemoveWindowRecord(hwnd)) {
            WindowAccess::Detach(*object);
        }
    }
}

}  // namespace detail

Window::~Window() {
    HWND hwnd = GetHwnd();
    if (hwnd == nullptr) {
        return;
    }
    if (!DestroyWindow(hwnd)) {
        // Another thread's window, or one already on its way out: it must
        // not keep a pointer to this object.
        detail::RemoveWindowRecord(hwnd);
    }
}

HWND Window::Create(LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int width,
                    int height, HWND parent) {
    if (GetHwnd() != nullptr) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return nullptr;
    }
    auto owner = detail::CurrentQueue();
    HWND hwnd = nullptr;
    {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        if (parent != nullptr && system.Find(parent) == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        if ((style & WS_CHILD) != 0 && parent == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        system.lastHandle += 2;
        hwnd = reinterpret_cast<HWND>(system.lastHandle);
        detail::WindowRecord record;
        record.object = this;
        record.owner = owner;
        record.className = className != nullptr ? className : u"";
        record.title = title != nullptr ? title : u"";
        record.style = style;
        record.rect = RECT{x, y, x + std::max(width, 0), y + std::max(height, 0)};
        record.parent = parent;
        if (detail::WindowSystem::IsTopLevel(record)) {
            system.zOrder.insert(system.zOrder.begin(), hwnd);
        }
        system.windows.emplace(reinterpret_cast<std::uintptr_t>(hwnd), std::move(record));
        detail::WindowAccess::Attach(*this, hwnd);
    }
    if (WindowProc(WM_CREATE, 0, 0) == -1) {
        DestroyWindow(hwnd);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!IsWindow(hwnd)) {
        return nullptr;
    }
    detail::AnnounceTitle(hwnd);
    SetLastError(ERROR_SUCCESS);
    return hwnd;
}

LRESULT Window::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProc(message, wParam, lParam);
}

LRESULT Window::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return platform::DefWindowProc(GetHwnd(), message, wParam, lParam);
}

LRESULT DefWindowProc(HWND hwnd, UINT message, WPARAM, LPARAM) {
    switch (message) {
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT paint;
            BeginPaint(hwnd, &paint);
            EndPaint(hwnd, &paint);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        default:
            return 0;
    }
}

BOOL DestroyWindow(HWND hwnd) {
    Window* object = nullptr;
    std::vector<HWND> children;
    {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        detail::WindowRecord* record = IsRemoteWindow(hwnd) ? nullptr : system.Find(hwnd);
        if (record == nullptr || record->destroying) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (record->owner->threadId != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        record->destroying = true;
        object = record->object;
        for (const auto& [value, other] : system.windows) {
            if (other.parent == hwnd && other.owner == record->owner) {
                children.push_back(reinterpret_cast<HWND>(value));
            }
        }
    }
    object->WindowProc(WM_DESTROY, 0, 0);
    for (HWND child : children) {
        DestroyWindow(child);
    }
    // The procedure may have deleted the object while handling WM_DESTROY;
    // then its destructor removed the record and nothing may touch it.
    object = detail::RemoveWindowRecord(hwnd);
    if (object != nullptr) {
        // Detached before WM_NCDESTROY, after which the object may delete
        // itself.
        detail::WindowAccess::Detach(*object);
        object->WindowProc(WM_NCDESTROY, 0, 0);
    }
    return TRUE;
}

BOOL IsWindow(HWND hwnd) {
    if (IsRemoteWindow(hwnd)) {
        WindowTransport* transport = GetWindowTransport();
        return transport != nullptr && transport->IsWindow(hwnd) ? TRUE : FALSE;
    }
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    return system.Find(hwnd) != nullptr ? TRUE : FALSE;
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId) {
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    detail::WindowRecord* record = IsRemoteWindow(hwnd) ? nullptr : system.Find(hwnd);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId != nullptr) {
        *processId = static_cast<DWORD>(getpid());
    }
    return record->owner->threadId;
}

}  // namespace platform
