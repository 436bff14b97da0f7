#include <gtest/gtest.h>
#include <signal.h>

#include "platform/window.h"
#include "tests/integration/service_process.h"
#include "tests/support/bus_test.h"
#include "tests/support/time_scale.h"

using testsupport::ChildProcess;
using testsupport::ServiceEnvironment;
using testsupport::WaitUntil;

namespace {

constexpr std::chrono::seconds kPatience{30};

class ServiceOnBus : public testsupport::BusTest {
  protected:
    ServiceEnvironment m_env;
};

TEST_F(ServiceOnBus, ItsWindowIsFoundByTitleFromAnotherProcess) {
    auto service = m_env.StartService(1.0);
    EXPECT_TRUE(
        WaitUntil([] { return platform::FindWindow(nullptr, u"DmbTpeg") != nullptr; }, kPatience));
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(kPatience), 0);
}

TEST_F(ServiceOnBus, PlayerWindowDelaysStartUpUntilItCloses) {
    auto player = StartPeer("dmbtpeg-window", {"Lumo_TDMBPlayer"}, "");
    ASSERT_TRUE(WaitUntil(
        [] { return platform::FindWindow(nullptr, u"Lumo_TDMBPlayer") != nullptr; }, kPatience));
    auto service = m_env.StartService(0.2);
    ASSERT_TRUE(m_env.WaitForLog("\r\n[LUMO DMB] DMB VESK TPEG Count #2# \r\n"));
    EXPECT_EQ(m_env.Log().find("[Vesk DMB] File Create TPEGDMBINFO.ENV ! \r\n[Vesk DMB]"),
              std::string::npos)
        << "the main window waits for the player";
    player->Signal(SIGTERM);
    EXPECT_TRUE(
        WaitUntil([&] { return platform::FindWindow(nullptr, u"DmbTpeg") != nullptr; }, kPatience));
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(kPatience), 0);
}

TEST_F(ServiceOnBus, PlayerThatStaysEndsStartUpAfterTheThirtyFirstPoll) {
    auto player = StartPeer("dmbtpeg-window", {"Lumo_TDMBPlayer"}, "");
    ASSERT_TRUE(WaitUntil(
        [] { return platform::FindWindow(nullptr, u"Lumo_TDMBPlayer") != nullptr; }, kPatience));
    auto service = m_env.StartService(0.01);
    EXPECT_EQ(service->Wait(kPatience), 75) << "worth a restart after a pause";
    EXPECT_NE(service->Errors().find("the T-DMB player kept the tuner"), std::string::npos);
    std::string log = m_env.Log();
    EXPECT_NE(log.find("#0# \r\n"), std::string::npos);
    EXPECT_NE(log.find("\r\n[LUMO DMB] DMB VESK TPEG Count #30# \r\n"), std::string::npos);
    EXPECT_EQ(log.find("#31#"), std::string::npos);
    EXPECT_EQ(log.find("DestoryWindow"), std::string::npos);
}

TEST_F(ServiceOnBus, EndRequestShutsDownBroadcastsTheAcknowledgementAndExits) {
    auto observer = StartPeer("dmbtpeg-window", {"Observer"}, "");
    ASSERT_TRUE(
        WaitUntil([] { return platform::FindWindow(nullptr, u"Observer") != nullptr; }, kPatience));
    auto service = m_env.StartService(1.0);
    ASSERT_TRUE(
        WaitUntil([] { return platform::FindWindow(nullptr, u"DmbTpeg") != nullptr; }, kPatience));
    ChildProcess request("dmbtpeg-navmon", {"--request", "end"});
    EXPECT_EQ(request.Wait(kPatience), 0) << request.Errors();
    EXPECT_EQ(service->Wait(kPatience), 0);
    std::string log = m_env.Log();
    EXPECT_NE(
        log.find(
            "\r\n ##### ROVANGO END !!! ##### \r\nROVAN_END\r\n[Lumo DMB] DestoryWindow Call!\r\n"),
        std::string::npos)
        << log;
    EXPECT_TRUE(observer->WaitForOutput("TC_SUSPEND_ACK", kPatience)) << observer->Output();
}

TEST_F(ServiceOnBus, RequestsFailCleanlyWithoutTheService) {
    ChildProcess request("dmbtpeg-navmon", {"--request", "status"});
    EXPECT_EQ(request.Wait(kPatience), 1);
}

}  // namespace
