#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/message_queue.h"
#include "platform/text.h"
#include "tests/support/bus_test.h"

using namespace platform;

namespace {

using BusRegisteredMessages = testsupport::BusTest;

TEST_F(BusRegisteredMessages, TheSameNameGivesTheSameNumberInTwoProcesses) {
    std::vector<std::string> names{"WM_DMBANTLV",
                                   "TC_SUSPEND_ACK",
                                   "TCC_TDMB_RESET_CHANNEL_MSG",
                                   "TCC_TDMB_AUDIOCHANGE_MSG",
                                   "TCC_TDMB_RECONFIG_MSG",
                                   "DMBTPEG_CHANNEL_SCAN",
                                   "Some.Other-Name"};
    std::vector<std::string> args{"register"};
    args.insert(args.end(), names.begin(), names.end());
    testsupport::ChildProcess peer("bus_peer", args);
    ASSERT_EQ(peer.Wait(std::chrono::seconds(60)), 0) << peer.Errors();

    std::istringstream lines(peer.Output());
    for (const auto& name : names) {
        std::string line;
        ASSERT_TRUE(std::getline(lines, line)) << name;
        auto wide = FromUtf8(name);
        EXPECT_EQ(line, std::to_string(RegisterWindowMessage(wide.c_str()))) << name;
    }
}

}  // namespace
