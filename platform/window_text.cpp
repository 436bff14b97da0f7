#include <algorithm>
#include <string>

#include "platform/kernel.h"
#include "platform/window.h"
#include "platform/window_system.h"
#include "platform/window_transport.h"

namespace platform {
namespace {

char16_t FoldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c;
}

bool SameClassName(std::u16string_view a, std::u16string_view b) {
    return std::ranges::equal(a, b,
                              [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

bool RemoteTitle(HWND hwnd, std::u16string* title) {
    WindowTransport* transport = GetWindowTransport();
    if (transport == nullptr || !transport->GetWindowText(hwnd, title)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    return true;
}

bool LocalTitle(HWND hwnd, std::u16string* title) {
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    detail::WindowRecord* record = system.Find(hwnd);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    *title = record->title;
    return true;
}

bool Title(HWND hwnd, std::u16string* title) {
    return IsRemoteWindow(hwnd) ? RemoteTitle(hwnd, title) : LocalTitle(hwnd, title);
}

}  // namespace

namespace detail {

void AnnounceTitle(HWND hwnd) {
    std::lock_guard announce(AnnounceLock());
    WindowTransport* transport = GetWindowTransport();
    if (transport == nullptr) {
        return;
    }
    std::u16string title;
    {
        auto& system = Windows();
        std::lock_guard lock(system.lock);
        WindowRecord* record = system.Find(hwnd);
        if (record == nullptr || !WindowSystem::IsTopLevel(*record) ||
            (record->title.empty() && !record->announced)) {
            return;
        }
        record->announced = !record->title.empty();
        title = record->title;
    }
    transport->OnWindowTitleChanged(hwnd, title);
}

}  // namespace detail

BOOL SetWindowText(HWND hwnd, LPCWSTR text) {
    {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        detail::WindowRecord* record = IsRemoteWindow(hwnd) ? nullptr : system.Find(hwnd);
        if (record == nullptr) {
            SetLastError(IsRemoteWindow(hwnd) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        record->title = text != nullptr ? text : u"";
    }
    detail::AnnounceTitle(hwnd);
    return TRUE;
}

int GetWindowText(HWND hwnd, LPWSTR buffer, int maxCount) {
    if (buffer == nullptr || maxCount <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string title;
    if (!Title(hwnd, &title)) {
        buffer[0] = u'\0';
        return 0;
    }
    auto count = std::min(title.size(), static_cast<std::size_t>(maxCount - 1));
    std::copy_n(title.begin(), count, buffer);
    buffer[count] = u'\0';
    return static_cast<int>(count);
}

HWND FindWindow(LPCWSTR className, LPCWSTR title) {
    {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        for (HWND hwnd : system.zOrder) {
            const detail::WindowRecord* record = system.Find(hwnd);
            if (record == nullptr || record->destroying) {
                continue;
            }
            if (className != nullptr && !SameClassName(record->className, className)) {
                continue;
            }
            if (title != nullptr && record->title != title) {
                continue;
            }
            return hwnd;
        }
    }
    if (WindowTransport* transport = GetWindowTransport()) {
        return transport->FindWindow(className, title);
    }
    return nullptr;
}

}  // namespace platform
