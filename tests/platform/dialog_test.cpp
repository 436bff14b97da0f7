#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dialog.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "tests/support/time_scale.h"

using namespace platform;

namespace {

constexpr UINT kLoopRan = WM_USER + 1;
// The service's main window: a hidden popup of 23 x 30 dialog units.
constexpr DialogTemplate kServiceTemplate{8, WS_POPUP, 0, 0, 23, 30, u""};
constexpr DialogTemplate kClosableTemplate{900, WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, u"Closable"};

void OnFreshThread(const std::function<void()>& body) {
    std::thread(body).join();
}

class ScriptedDialog : public Dialog {
  public:
    using Dialog::Dialog;
    std::function<void(ScriptedDialog&)> onInit;
    std::vector<std::string> events;
    bool visibleDuringInit = true;
    RECT rectDuringInit;

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == kLoopRan) {
            events.push_back("loop");
            EndDialog(static_cast<INT_PTR>(wParam));
            return 0;
        }
        return Dialog::WindowProc(message, wParam, lParam);
    }

  protected:
    BOOL OnInitDialog() override {
        events.push_back("init");
        visibleDuringInit = IsWindowVisible(GetHwnd()) != FALSE;
        GetWindowRect(GetHwnd(), &rectDuringInit);
        if (onInit) {
            onInit(*this);
        }
        return TRUE;
    }
};

TEST(ModalDialog, InitRunsHiddenBeforeTheLoopAndEndDialogGivesTheResult) {
    OnFreshThread([] {
        ScriptedDialog dialog(kServiceTemplate);
        dialog.onInit = [](ScriptedDialog& self) { PostMessage(self.GetHwnd(), kLoopRan, 42, 0); };
        EXPECT_EQ(dialog.DoModal(), 42);
        EXPECT_EQ(dialog.events, (std::vector<std::string>{"init", "loop"}));
        EXPECT_FALSE(dialog.visibleDuringInit);
        // 23 x 30 dialog units at 8 x 16 pixel base units.
        EXPECT_EQ(dialog.rectDuringInit.right - dialog.rectDuringInit.left, 46);
        EXPECT_EQ(dialog.rectDuringInit.bottom - dialog.rectDuringInit.top, 60);
        EXPECT_EQ(dialog.GetHwnd(), nullptr) << "DoModal destroys the dialog";
    });
}

TEST(ModalDialog, EndDialogFromTheInitHandlerSkipsTheLoop) {
    OnFreshThread([] {
        ScriptedDialog dialog(kServiceTemplate);
        dialog.onInit = [](ScriptedDialog& self) {
            PostMessage(self.GetHwnd(), kLoopRan, 1, 0);
            self.EndDialog(7);
        };
        EXPECT_EQ(dialog.DoModal(), 7);
        EXPECT_EQ(dialog.events, std::vector<std::string>{"init"});
        MSG msg;
        EXPECT_FALSE(PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE));
    });
}

TEST(ModalDialog, CloseSentFromAnotherThreadEndsWithCancel) {
    std::thread closer([] {
        HWND hwnd = nullptr;
        // A WS_VISIBLE template is shown once the init handler has run.
        ASSERT_TRUE(testsupport::WaitUntil([&] {
            hwnd = FindWindow(nullptr, u"Closable");
            return hwnd != nullptr && IsWindowVisible(hwnd);
        }));
        SendMessage(hwnd, WM_CLOSE, 0, 0);
    });
    OnFreshThread([] {
        ScriptedDialog dialog(kClosableTemplate);
        EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    });
    closer.join();
}

TEST(ModalDialog, QuitEndsTheLoopAndIsPostedAgainForTheOuterLoop) {
    OnFreshThread([] {
        ScriptedDialog dialog(kServiceTemplate);
        dialog.onInit = [](ScriptedDialog&) { PostQuitMessage(5); };
        EXPECT_EQ(dialog.DoModal(), 0);
        MSG msg;
        EXPECT_EQ(GetMessage(&msg, nullptr, 0, 0), FALSE);
        EXPECT_EQ(msg.wParam, 5u);
    });
}

}  // namespace
