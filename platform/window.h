// Windows: handles, procedures, titles, position, z-order and visibility.
//
// A window belongs to the thread that created it; its procedure only ever
// runs on that thread. An HWND is a small table value, never a pointer, so a
// stale handle is detected: every call on a destroyed window fails with
// ERROR_INVALID_WINDOW_HANDLE (sends return 0). Handle values are never reused
// within a process. Handles of windows in other processes (see
// window_transport.h) are accepted by IsWindow, GetWindowText, FindWindow,
// SendMessage and PostMessage.
//
// Nothing is drawn: position, size, z-order and visibility are stored and can
// be read back, and changing them sends no messages.
//
// When a thread ends, the windows it still owns are destroyed (WM_DESTROY and
// WM_NCDESTROY reach their procedures) and messages still queued for them are
// answered with 0.
#pragma once

#include <atomic>

#include "platform/types.h"
#include "platform/window_messages.h"

namespace platform {

namespace detail {
struct WindowAccess;
}

// Base of every window. Override WindowProc and hand what it does not handle
// to the base class's WindowProc (or DefWindowProc).
//
// Destroy the object on the window's own thread, or after that thread ended.
// The destructor destroys a window that still exists, but by then the derived
// part is gone, so its WindowProc sees WM_DESTROY only if DestroyWindow is
// called earlier. WM_NCDESTROY is the last message; the window system never
// touches the object after it, so the object may delete itself there.
class Window {
  public:
    Window() = default;
    virtual ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Creates the window on the calling thread. `className` may be null (an
    // empty class name). WS_CHILD with a parent makes a child window, anything
    // else is top-level (`parent` is then its owner). The procedure receives
    // WM_CREATE; returning -1 from it destroys the window and fails the call.
    // Fails with ERROR_ALREADY_EXISTS if this object already has a window.
    HWND Create(LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int width, int height,
                HWND parent = nullptr);

    // The window's handle, or null before Create and after destruction.
    HWND GetHwnd() const { return m_hwnd.load(std::memory_order_acquire); }

    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

  protected:
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

  private:
    friend struct detail::WindowAccess;
    std::atomic<HWND> m_hwnd{nullptr};
};

// Default processing: WM_CLOSE destroys the window, WM_PAINT validates it,
// WM_ERASEBKGND reports the background erased; everything else returns 0.
LRESULT DefWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Only the owning thread may destroy a window (ERROR_ACCESS_DENIED otherwise).
// Children are destroyed with their parent; timers, posted messages and
// pending sends of the window go with it (sends return 0).
BOOL DestroyWindow(HWND hwnd);

BOOL IsWindow(HWND hwnd);
// Thread that owns the window; 0 if there is none in this process.
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId);

// Titles. Any thread may read or change a title; the change is immediate and
// sends no WM_SETTEXT. GetWindowText copies at most maxCount - 1 units plus a
// terminating zero and returns the units copied (0 on failure).
BOOL SetWindowText(HWND hwnd, LPCWSTR text);
int GetWindowText(HWND hwnd, LPWSTR buffer, int maxCount);

// First top-level window (front to back) whose title equals `title` exactly
// and whose class name matches `className` (ignoring ASCII case); a null
// argument matches anything. Windows of this process are searched before
// those of other processes. Null if none.
HWND FindWindow(LPCWSTR className, LPCWSTR title);

// SWP_NOMOVE, SWP_NOSIZE, SWP_NOZORDER, SWP_SHOWWINDOW and SWP_HIDEWINDOW act;
// other flags (SWP_NOACTIVATE, SWP_NOREDRAW, ...) are accepted and have
// nothing to do. `insertAfter` is HWND_TOP, HWND_BOTTOM, HWND_TOPMOST,
// HWND_NOTOPMOST (both topmost values act as HWND_TOP: there is no topmost
// band) or a top-level window to place this one behind. Z-order applies to
// top-level windows; a child's is ignored.
BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
// Returns whether the window was visible before.
BOOL ShowWindow(HWND hwnd, int command);
BOOL IsWindowVisible(HWND hwnd);
BOOL GetWindowRect(HWND hwnd, RECT* rect);
// Walks the z-order of top-level windows (GW_HWNDFIRST, GW_HWNDLAST,
// GW_HWNDNEXT, GW_HWNDPREV); null at either end.
HWND GetWindow(HWND hwnd, UINT command);

// Painting draws nothing: BeginPaint fills `paint` with the client area and a
// device context that no drawing call accepts.
HDC BeginPaint(HWND hwnd, PAINTSTRUCT* paint);
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* paint);

}  // namespace platform
