// Modal dialogs created from a template.
//
// DoModal creates the dialog hidden, sends WM_INITDIALOG (OnInitDialog), then
// shows it if the template says WS_VISIBLE and runs a modal loop until
// EndDialog. EndDialog from the init handler means the loop never runs. A
// WM_QUIT seen by the loop ends it and is posted again for the outer loop.
// The window is destroyed before DoModal returns.
#pragma once

#include <string_view>

#include "platform/types.h"
#include "platform/window.h"

namespace platform {

// Size and position are in dialog units; one horizontal unit is a quarter of
// the base unit width, one vertical unit an eighth of its height.
struct DialogTemplate {
    UINT id = 0;
    DWORD style = 0;
    short x = 0;
    short y = 0;
    short cx = 0;
    short cy = 0;
    std::u16string_view title;
};

// Base units of the dialog font, in pixels (there is no font: fixed values).
inline constexpr int kDialogBaseUnitX = 8;
inline constexpr int kDialogBaseUnitY = 16;

// Dialog class name, as for every Win32 dialog.
inline constexpr std::u16string_view kDialogClassName = u"#32770";

class Dialog : public Window {
  public:
    // The title's characters must outlive the dialog (string literals).
    explicit Dialog(const DialogTemplate& dialogTemplate);

    // The EndDialog result; 0 when ended by WM_QUIT; -1 with last error set
    // when the dialog could not be created or a dialog runs already.
    INT_PTR DoModal(HWND owner = nullptr);

    // Ends the modal loop once the current message has been handled. Call it
    // on the dialog's thread.
    BOOL EndDialog(INT_PTR result);

    // Handles WM_INITDIALOG (OnInitDialog) and WM_CLOSE (EndDialog(IDCANCEL));
    // the rest goes to DefWindowProc. Derived classes call this for defaults.
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  protected:
    // Runs while the window is hidden, before the loop. The result is what
    // WM_INITDIALOG returns (there is no focus to set).
    virtual BOOL OnInitDialog() { return TRUE; }

  private:
    const DialogTemplate m_template;
    bool m_running = false;
    bool m_ended = false;
    INT_PTR m_result = 0;
};

// EndDialog for a dialog window known by handle (on its thread).
BOOL EndDialog(HWND hwnd, INT_PTR result);

}  // namespace platform
