// A fixture for runs of the real service: a private bus, the demo broadcast
// "on air", a device root whose scan file lists it, the service and the
// navigation application's stand-in as child processes.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/window.h"
#include "tests/integration/service_process.h"
#include "tests/support/bus_test.h"
#include "tests/support/time_scale.h"

namespace testsupport {

inline constexpr std::chrono::seconds kServicePatience{60};

// How often `needle` occurs in `text`.
inline std::size_t Occurrences(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        ++n;
    }
    return n;
}

class DemoServiceTest : public BusTest {
  protected:
    void SetUp() override {
        BusTest::SetUp();
        ChildProcess builder("dmbtpeg-mkbroadcast", {"--demo", m_env.Root("air"), "--quiet"});
        ASSERT_EQ(builder.Wait(kServicePatience), 0) << builder.Errors();
        ChildProcess device("dmbtpeg-device",
                            {"init", m_env.Root("unit"), "--scan", m_env.Root("air")});
        ASSERT_EQ(device.Wait(kServicePatience), 0) << device.Errors();
    }
    void TearDown() override {
        if (m_service && m_service->Running()) {
            m_service->Signal(SIGTERM);
            m_service->Wait(kServicePatience);
        }
        BusTest::TearDown();
    }

    std::map<std::string, std::string> ServiceEnv(double scale = 0.1) {
        auto env = m_env.Env(scale);
        env["DMBTPEG_ROOT"] = m_env.Root("unit");
        env["DMBTPEG_BROADCAST"] = m_env.Root("air");
        return env;
    }
    // `extra` adds to or replaces the service's environment; `program` may be
    // a copy of the service placed elsewhere.
    void StartService(double scale = 0.1, const std::map<std::string, std::string>& extra = {},
                      const std::string& program = "dmbtpegd") {
        auto env = ServiceEnv(scale);
        for (const auto& [name, value] : extra) {
            env[name] = value;
        }
        m_service = std::make_unique<ChildProcess>(program, std::vector<std::string>{}, env);
    }
    std::unique_ptr<ChildProcess> StartNavigationApplication() {
        auto navmon = std::make_unique<ChildProcess>(
            "dmbtpeg-navmon", std::vector<std::string>{"--json"}, ServiceEnv());
        EXPECT_TRUE(WaitUntil([] { return platform::FindWindow(nullptr, u"Rovan") != nullptr; },
                              kServicePatience));
        return navmon;
    }
    // The service's main window, once it is on the bus (null if it never is).
    static platform::HWND ServiceWindow() {
        platform::HWND service = nullptr;
        WaitUntil([&] { return (service = platform::FindWindow(nullptr, u"DmbTpeg")) != nullptr; },
                  kServicePatience);
        return service;
    }
    static std::size_t States(const ChildProcess& navmon, int state) {
        return Occurrences(navmon.Output(),
                           "{\"event\":\"state\",\"state\":" + std::to_string(state) + "}");
    }

    ServiceEnvironment m_env;
    std::unique_ptr<ChildProcess> m_service;
};

}  // namespace testsupport
