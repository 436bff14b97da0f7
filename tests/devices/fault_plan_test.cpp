#include "devices/fault_plan.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "channels/channel_list.h"
#include "devices/lock_time.h"
#include "graph/device_interfaces.h"
#include "tests/support/eti_recording.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_scale.h"

namespace {

using devices::FaultCommand;
using devices::FaultEffect;
using devices::FaultInjector;
using devices::ParseFaultPlan;
using namespace std::chrono_literals;

TEST(FaultPlan, ParsesRulesAndRejectsAnyMalformedTextWhole) {
    const auto plan = ParseFaultPlan("tune=fail:5,signal=wrong:30s@2,scan=wrong:250ms@1s");
    ASSERT_TRUE(plan.error.empty()) << plan.error;
    ASSERT_EQ(plan.rules.size(), 3u);
    EXPECT_EQ(plan.rules[0].command, FaultCommand::Tune);
    EXPECT_EQ(plan.rules[0].effect, FaultEffect::Fail);
    EXPECT_TRUE(plan.rules[0].length.calls);
    EXPECT_EQ(plan.rules[0].length.amount, 5u);
    EXPECT_EQ(plan.rules[0].start.amount, 0u);
    EXPECT_EQ(plan.rules[1].effect, FaultEffect::Wrong);
    EXPECT_FALSE(plan.rules[1].length.calls);
    EXPECT_EQ(plan.rules[1].length.amount, 30000u);
    EXPECT_TRUE(plan.rules[1].start.calls);
    EXPECT_EQ(plan.rules[1].start.amount, 2u);
    EXPECT_EQ(plan.rules[2].start.amount, 1000u);
    EXPECT_EQ(plan.rules[2].text, "scan=wrong:250ms@1s");
    EXPECT_TRUE(ParseFaultPlan("").rules.empty());
    EXPECT_TRUE(ParseFaultPlan("").error.empty());

    for (const char* bad :
         {"tune", "tune=fail", "tune=fail:", "tune=fail:0", "tune=break:3", "tuner=fail:3",
          "tune=fail:3,", ",tune=fail:3", "tune=fail:3x", "tune=fail:3@", "tune=fail:3@-1",
          "tune=fail:-3", "tune=fail:99999999999", "signal=wrong:5s@2h",
          "tune=fail:3;signal=wrong:2", " tune=fail:3", "tune=fail:1,signal=wrong"}) {
        const auto rejected = ParseFaultPlan(bad);
        EXPECT_FALSE(rejected.error.empty()) << bad;
        EXPECT_TRUE(rejected.rules.empty()) << bad;
    }
}

TEST(FaultPlan, MapsEveryTunerCommandToItsGroup) {
    EXPECT_EQ(devices::FaultCommandOf(kTunerSetRegion), FaultCommand::Region);
    EXPECT_EQ(devices::FaultCommandOf(kTunerSetFrequency), FaultCommand::Tune);
    EXPECT_EQ(devices::FaultCommandOf(kTunerSetService), FaultCommand::Tune);
    EXPECT_EQ(devices::FaultCommandOf(kTunerGetFrequency), FaultCommand::Readback);
    EXPECT_EQ(devices::FaultCommandOf(kTunerGetService), FaultCommand::Readback);
    EXPECT_EQ(devices::FaultCommandOf(kTunerGetScanSteps), FaultCommand::Scan);
    EXPECT_EQ(devices::FaultCommandOf(kTunerScan), FaultCommand::Scan);
    EXPECT_EQ(devices::FaultCommandOf(kTunerGetSignal), FaultCommand::Signal);
    EXPECT_FALSE(devices::FaultCommandOf(6));
}

TEST(FaultInjectorWindows, CountedAndTimedWindowsOpenAndCloseOnTheirCalls) {
    testsupport::ScopedTimeScale scale(0.5);  // platform time runs twice as fast
    FaultInjector injector(
        ParseFaultPlan("tune=fail:2@1,signal=wrong:1000ms@2s,signal=fail:1").rules);
    const platform::Clock::time_point t0{};

    // Counted: one good call, two failing ones, then good for ever.
    std::vector<bool> tune;
    for (int i = 0; i < 5; ++i) {
        tune.push_back(injector.OnCall(FaultCommand::Tune, t0).has_value());
    }
    EXPECT_EQ(tune, (std::vector<bool>{false, true, true, false, false}));
    EXPECT_FALSE(injector.OnCall(FaultCommand::Readback, t0));

    // Timed on the scaled clock: the first call fails by the counted rule,
    // which precedes it; the window opens 2 platform s (1 real s) after it.
    EXPECT_EQ(injector.OnCall(FaultCommand::Signal, t0), FaultEffect::Fail);
    EXPECT_FALSE(injector.OnCall(FaultCommand::Signal, t0 + 999ms));
    EXPECT_EQ(injector.OnCall(FaultCommand::Signal, t0 + 1000ms), FaultEffect::Wrong);
    EXPECT_EQ(injector.OnCall(FaultCommand::Signal, t0 + 1499ms), FaultEffect::Wrong);
    EXPECT_FALSE(injector.OnCall(FaultCommand::Signal, t0 + 1500ms));
    EXPECT_FALSE(injector.OnCall(FaultCommand::Signal, t0 + 1000ms));
}

// The tuner inside the plugin, driven by the device tool's scan: a fault
// plan is read once per process, so each case is a process of its own.
class TunerUnderFaults : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testsupport::WriteEtiFrames(
            m_broadcast / "183008.eti",
            testsupport::MakeEtiFrames(
                testsupport::ThreeServiceEnsemble(0xE0B8, 0xF1E00448, 0, "8B"), 8)));
    }
    // Services in the scan file written under `faults`, or -1; the tool's
    // debug output in `log`.
    int ScanWith(const std::string& faults, std::string& log) {
        testsupport::TempDir root;
        testsupport::ChildProcess tool("dmbtpeg-device",
                                       {"init", root.Path(), "--scan", m_broadcast.Path()},
                                       {{"DMBTPEG_DEVICE_FAULTS", faults},
                                        {"DMBTPEG_LOG", root / "log"},
                                        {devices::kTunerLockVariable, "0"}});
        const auto status = tool.Wait(std::chrono::seconds(60));
        std::ifstream in(root / "log");
        log.assign(std::istreambuf_iterator<char>(in), {});
        if (status != 0) {
            return -1;
        }
        testsupport::ScopedEnv env("DMBTPEG_ROOT", root.Path());
        CChannelList list;
        return list.Load() ? static_cast<int>(list.Size()) : -1;
    }

    testsupport::TempDir m_broadcast;
};

TEST_F(TunerUnderFaults, ScanFaultsMissOrFailAndAMalformedPlanInjectsNothing) {
    std::string log;
    EXPECT_EQ(ScanWith("scan=wrong:1000", log), 0);
    EXPECT_NE(log.find("[TDMB device] fault injection: scan=wrong:1000\r\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("[TDMB device] fault scan=wrong:1000 begins\r\n"), std::string::npos) << log;

    // Failed scan commands find nothing either; the tool still completes.
    EXPECT_EQ(ScanWith("scan=fail:1000", log), 0);
    EXPECT_NE(log.find("[TDMB device] fault scan=fail:1000 begins\r\n"), std::string::npos) << log;

    EXPECT_EQ(ScanWith("scan=wrong:100x", log), 3);
    EXPECT_NE(
        log.find("[TDMB device] DMBTPEG_DEVICE_FAULTS ignored, no faults: rule 'scan=wrong:100x' "
                 "needs a length above 0"),
        std::string::npos)
        << log;
}

}  // namespace
