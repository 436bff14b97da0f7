// A main window on the test thread with fake filters and decoders behind it,
// a device root of its own and a fast clock. Handlers are driven directly;
// Waits never handle the test thread's messages, so no timer tick runs
// behind a test's back.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/service_globals.h"
#include "app/tdmb_main.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/message_queue.h"
#include "platform/timer.h"
#include "platform/window.h"
#include "tests/support/fake_decoders.h"
#include "tests/support/fake_device.h"
#include "tests/support/log_capture.h"
#include "tests/support/nav_app.h"
#include "tests/support/temp_dir.h"
#include "tpeg/tpeg_events.h"

namespace testsupport {

inline ChannelInfo TpegService(std::uint32_t id = 0xF1E00448, std::int32_t frequency = 183008,
                               std::int32_t subChannel = 5) {
    ChannelInfo e{};
    e.dwFrequency = frequency;
    e.dwServiceId = id;
    std::memcpy(e.szLabel, "TPEG", 4);
    e.dwSubChannel = subChannel;
    e.dwServiceType = kServiceTypeData;
    return e;
}

class ServiceTest : public testing::Test {
  protected:
    ServiceTest() {
        platform::SetTimeScaleForTesting(0.01);
        gbReceptionOn = 1;
        gbServiceClosing = 0;
        gnNoSignalCount = 0;
        gnSignalReport = 0;
        gbScanRunning = 0;
        gbScanAbort = 0;
        RegisterServiceMessages();
        std::filesystem::create_directories(m_root / "SDMMC Disk/SysData");
        std::filesystem::create_directories(m_root / "Nand");
    }
    ~ServiceTest() override {
        Close();
        platform::SetTimeScaleForTesting(1.0);
    }

    void WriteScanFile(std::vector<ChannelInfo> entries) {
        CChannelList list;
        for (const auto& e : entries) {
            list.Append(e);
        }
        list.Save();
    }

    // Creates the window and runs its initialisation, as the modal run would.
    TDmbMain& Open() {
        m_main = std::make_unique<TDmbMain>();
        m_hwnd = m_main->Create(nullptr, u"", platform::WS_POPUP, 0, 0, 0, 0);
        m_main->InitMainWindow();
        return *m_main;
    }

    // Brings reception up: the start step, then waits for the worker's
    // first successful pass.
    void StartReception() {
        m_main->OnServiceTimer(ID_TIMER_START);
        ASSERT_TRUE(WaitForTuned());
    }

    // Waits, without handling this thread's messages (so no timer tick runs
    // in between), until the worker's pass has started the decoders and
    // ended: the notification is sent and the signal poll armed by then.
    bool WaitForTuned() {
        return WaitUntil([&] {
            return m_main->mbDecoderRunning.load() == 1 && m_main->mbTuningPass.load() == 0;
        });
    }
    bool WaitUntil(const std::function<bool()>& done,
                   std::chrono::seconds limit = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    void Close() {
        if (!m_main) {
            return;
        }
        // Shutdown releases what is left; running it again after a test's own
        // end request finds nothing to do.
        gbServiceClosing = 1;
        m_main->ShutdownService();
        platform::DestroyWindow(m_hwnd);
        m_main.reset();
    }

    std::string LogText() const { return m_log.Text(); }
    std::size_t LogCount(const std::string& line) const {
        std::string text = LogText();
        std::size_t n = 0;
        for (std::size_t pos = text.find(line); pos != std::string::npos;
             pos = text.find(line, pos + 1)) {
            ++n;
        }
        return n;
    }
    std::size_t StateMessages(const NavAppStandIn& navApp, platform::WPARAM state) const {
        std::size_t n = 0;
        for (const auto& m : navApp.Messages()) {
            n += m.message == WM_DMBANTLV.load() && m.wParam == state;
        }
        return n;
    }
    std::size_t SuspendAcks(const NavAppStandIn& navApp) const {
        std::size_t n = 0;
        for (const auto& m : navApp.Messages()) {
            n += m.message == TC_SUSPEND_ACK.load();
        }
        return n;
    }

    TempDir m_root;
    ScopedEnv m_env{"DMBTPEG_ROOT", m_root.Path()};
    FakeDevice m_device;
    FakeDecoders m_decoders;
    testsupport::CapturingLogSink m_log;
    platform::ScopedLogSink m_guard{m_log};
    std::unique_ptr<TDmbMain> m_main;
    platform::HWND m_hwnd = nullptr;
};

}  // namespace testsupport
