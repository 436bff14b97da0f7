#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "tests/integration/service_process.h"

using testsupport::ChildProcess;
using testsupport::ServiceEnvironment;

namespace {

// These tests need no other process's window: the service gets no bus, as on
// a unit where the bus is missing, and never touches the developer's.
class Startup : public testing::Test {
  protected:
    testsupport::ScopedEnv m_noBus{"DBUS_SESSION_BUS_ADDRESS",
                                   "unix:path=/nonexistent/dmbtpeg-test-bus"};
};

TEST_F(Startup, LeavesItsMarkerAndShutsDownInOrderOnStop) {
    ServiceEnvironment env;
    auto service = env.StartService(1.0);  // real time: the start step stays 7 s away
    ASSERT_TRUE(env.WaitForLog("[Vesk DMB] File Create TPEGDMBINFO.ENV ! \r\n"));
    EXPECT_TRUE(std::filesystem::exists(env.Root("TPEGDMBINFO.ENV")));
    ASSERT_TRUE(
        env.WaitForLog("[Vesk DMB] File Create TPEGDMBINFO.ENV ! \r\n[Vesk DMB] File Create"));
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(std::chrono::seconds(30)), 0);
    std::string log = env.Log();
    EXPECT_NE(log.find("WM_CLOSE\r\n[Lumo DMB] DestoryWindow Call!\r\n"), std::string::npos) << log;
}

TEST_F(Startup, DeviceWithoutItsFilterRegistrationsFailsWithAStatusAndOneLine) {
    ServiceEnvironment env;  // a device root that was never initialised
    auto service = env.StartService(0.02);
    EXPECT_EQ(service->Wait(std::chrono::seconds(30)), 1);
    EXPECT_NE(env.Log().find("[Lumo DMB] Could not create Filter Graph"), std::string::npos);
    EXPECT_NE(service->Errors().find("dmbtpegd: reception cannot be set up"), std::string::npos)
        << service->Errors();
}

TEST_F(Startup, ExistingMarkerIsNotChanged) {
    ServiceEnvironment env;
    { std::ofstream(env.Root("TPEGDMBINFO.ENV")) << "kept"; }
    auto service = env.StartService(1.0);
    ASSERT_TRUE(
        env.WaitForLog("[Vesk DMB] File Create TPEGDMBINFO.ENV ! \r\n[Vesk DMB] File Create"));
    service->Signal(SIGTERM);
    service->Wait(std::chrono::seconds(30));
    std::ifstream in(env.Root("TPEGDMBINFO.ENV"));
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str(), "kept");
}

TEST_F(Startup, SecondInstanceEndsAtOnceWithoutAMarker) {
    ServiceEnvironment env;
    ChildProcess holder("platform_helper", {"mutex", "DmbTpeg"}, env.Env());
    ASSERT_TRUE(holder.WaitForOutput("held 0\n", std::chrono::seconds(20)));
    auto second = env.StartService();
    EXPECT_EQ(second->Wait(std::chrono::seconds(20)), 0);
    EXPECT_FALSE(std::filesystem::exists(env.Root("TPEGDMBINFO.ENV")));
    EXPECT_EQ(env.Log(), "");
}

}  // namespace
