#include "platform/dialog.h"

#include <string>

#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/window_system.h"

namespace platform {

Dialog::Dialog(const DialogTemplate& dialogTemplate) : m_template(dialogTemplate) {}

INT_PTR Dialog::DoModal(HWND owner) {
    if (m_running || GetHwnd() != nullptr) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return -1;
    }
    // From dialog units to pixels: a quarter of the base unit across, an
    // eighth of it down.
    const int x = m_template.x * kDialogBaseUnitX / 4;
    const int y = m_template.y * kDialogBaseUnitY / 8;
    const int width = m_template.cx * kDialogBaseUnitX / 4;
    const int height = m_template.cy * kDialogBaseUnitY / 8;
    const std::u16string className(kDialogClassName);
    const std::u16string title(m_template.title);
    m_ended = false;
    m_result = 0;
    HWND hwnd = Create(className.c_str(), title.c_str(), m_template.style & ~WS_VISIBLE, x, y,
                       width, height, owner);
    if (hwnd == nullptr) {
        return -1;
    }
    m_running = true;
    SendMessage(hwnd, WM_INITDIALOG, 0, 0);
    if (!m_ended && (m_template.style & WS_VISIBLE) != 0) {
        ShowWindow(hwnd, SW_SHOW);
    }
    MSG msg;
    while (!m_ended && IsWindow(hwnd)) {
        BOOL got = GetMessage(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (got < 0) {
            break;
        }
        DispatchMessage(&msg);
    }
    m_running = false;
    if (GetHwnd() == hwnd) {
        DestroyWindow(hwnd);
    }
    return m_ended ? m_result : 0;
}

BOOL Dialog::EndDialog(INT_PTR result) {
    HWND hwnd = GetHwnd();
    if (hwnd == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    m_ended = true;
    m_result = result;
    // Wakes the modal loop when EndDialog runs inside a sent message, which
    // GetMessage handles without returning.
    PostMessage(hwnd, WM_NULL, 0, 0);
    return TRUE;
}

LRESULT Dialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_CLOSE:
            EndDialog(IDCANCEL);
            return 0;
        default:
            return DefWindowProc(message, wParam, lParam);
    }
}

BOOL EndDialog(HWND hwnd, INT_PTR result) {
    Window* object = nullptr;
    {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        detail::WindowRecord* record = system.Find(hwnd);
        if (record != nullptr && record->owner->threadId == GetCurrentThreadId()) {
            object = record->object;
        }
    }
    auto* dialog = dynamic_cast<Dialog*>(object);
    if (dialog == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return dialog->EndDialog(result);
}

}  // namespace platform
