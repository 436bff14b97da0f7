#include <algorithm>

#include "platform/kernel.h"
#include "platform/window.h"
#include "platform/window_system.h"

namespace platform {
namespace {

// A device context no drawing call accepts: nothing is ever drawn.
const HDC kNoDrawing = reinterpret_cast<HDC>(std::uintptr_t{1});

// Lock held. Null with last error set if hwnd is not a window of this process.
detail::WindowRecord* FindOrFail(HWND hwnd) {
    detail::WindowRecord* record = detail::Windows().Find(hwnd);
    if (record == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    return record;
}

// Lock held; `insertAfter` has been checked.
void PlaceInZOrder(std::vector<HWND>& zOrder, HWND hwnd, HWND insertAfter) {
    if (insertAfter == hwnd) {
        return;
    }
    std::erase(zOrder, hwnd);
    if (insertAfter == HWND_BOTTOM) {
        zOrder.push_back(hwnd);
    } else if (insertAfter == HWND_TOP || insertAfter == HWND_TOPMOST ||
               insertAfter == HWND_NOTOPMOST) {
        zOrder.insert(zOrder.begin(), hwnd);
    } else {
        zOrder.insert(std::find(zOrder.begin(), zOrder.end(), insertAfter) + 1, hwnd);
    }
}

bool IsSpecialInsertAfter(HWND insertAfter) {
    return insertAfter == HWND_TOP || insertAfter == HWND_BOTTOM || insertAfter == HWND_TOPMOST ||
           insertAfter == HWND_NOTOPMOST;
}

}  // namespace

BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    detail::WindowRecord* record = FindOrFail(hwnd);
    if (record == nullptr) {
        return FALSE;
    }
    const bool reorder = (flags & SWP_NOZORDER) == 0 && detail::WindowSystem::IsTopLevel(*record);
    if (reorder && !IsSpecialInsertAfter(insertAfter)) {
        const detail::WindowRecord* after = FindOrFail(insertAfter);
        if (after == nullptr || !detail::WindowSystem::IsTopLevel(*after)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
    }
    RECT& rect = record->rect;
    if ((flags & SWP_NOMOVE) == 0) {
        rect = RECT{x, y, x + (rect.right - rect.left), y + (rect.bottom - rect.top)};
    }
    if ((flags & SWP_NOSIZE) == 0) {
        rect.right = rect.left + std::max(cx, 0);
        rect.bottom = rect.top + std::max(cy, 0);
    }
    if ((flags & SWP_SHOWWINDOW) != 0) {
        record->style |= WS_VISIBLE;
    } else if ((flags & SWP_HIDEWINDOW) != 0) {
        record->style &= ~WS_VISIBLE;
    }
    if (reorder) {
        PlaceInZOrder(system.zOrder, hwnd, insertAfter);
    }
    return TRUE;
}

BOOL ShowWindow(HWND hwnd, int command) {
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    detail::WindowRecord* record = FindOrFail(hwnd);
    if (record == nullptr) {
        return FALSE;
    }
    const bool wasVisible = (record->style & WS_VISIBLE) != 0;
    if (command == SW_HIDE) {
        record->style &= ~WS_VISIBLE;
    } else {
        record->style |= WS_VISIBLE;
    }
    return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hwnd) {
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    // A window counts as visible only when its parents are too.
    for (const detail::WindowRecord* record = system.Find(hwnd); record != nullptr;
         record = system.Find(record->parent)) {
        if ((record->style & WS_VISIBLE) == 0) {
            return FALSE;
        }
        if (detail::WindowSystem::IsTopLevel(*record)) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOL GetWindowRect(HWND hwnd, RECT* rect) {
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    const detail::WindowRecord* record = FindOrFail(hwnd);
    if (record == nullptr || rect == nullptr) {
        return FALSE;
    }
    *rect = record->rect;
    return TRUE;
}

HWND GetWindow(HWND hwnd, UINT command) {
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    const detail::WindowRecord* record = FindOrFail(hwnd);
    if (record == nullptr || !detail::WindowSystem::IsTopLevel(*record)) {
        return nullptr;
    }
    const auto& zOrder = system.zOrder;
    auto it = std::find(zOrder.begin(), zOrder.end(), hwnd);
    switch (command) {
        case GW_HWNDFIRST:
            return zOrder.front();
        case GW_HWNDLAST:
            return zOrder.back();
        case GW_HWNDNEXT:
            return it + 1 == zOrder.end() ? nullptr : *(it + 1);
        case GW_HWNDPREV:
            return it == zOrder.begin() ? nullptr : *(it - 1);
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint) {
    if (paint == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    *paint = PAINTSTRUCT{};
    RECT window;
    if (!GetWindowRect(hwnd, &window)) {
        return nullptr;
    }
    // No frames are drawn, so the client area is the whole window.
    paint->rcPaint = RECT{0, 0, window.right - window.left, window.bottom - window.top};
    paint->hdc = kNoDrawing;
    return paint->hdc;
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint) {
    return paint != nullptr && IsWindow(hwnd) ? TRUE : FALSE;
}

}  // namespace platform
