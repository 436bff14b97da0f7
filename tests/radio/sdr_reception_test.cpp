// The real service with the SDR tuner: the broadcast as a radio signal, with noise and frequency
// and clock offsets, from the modulator through the receiver to the announced files.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

#include "tests/integration/demo_service_test.h"

using testsupport::ChildProcess;
using testsupport::WaitUntil;

namespace {

constexpr auto kPatience = testsupport::kServicePatience;

class SdrReception : public testsupport::DemoServiceTest {
  protected:
    void SetUp() override {
        DemoServiceTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        // The demo's ensembles, shorter and with the TPEG content changing more often, as a
        // signal at a moderate SNR with a carrier 800 Hz off and a sample clock 10 ppm off.
        const std::string config = m_env.Root("air.conf");
        std::ofstream(config) << R"(frames 400
ensemble 183008 0xE0B8 "Demo DMB 8B"
subchannel 1 uep 35
subchannel 2 eep 384 3
subchannel 3 eep 64 3
audio 0xE1B1 "Demo Radio 8B" 1
video 0xE1B2 "Demo TV 8B" 2
tpeg 0xF1E00448 "TPEG Traffic 8B" 3 0x100 sid 1.8.8 name "Demo TPEG 8B" period 200
ensemble 195008 0xE0AB "Demo DMB 10B"
subchannel 6 eep 64 3 fec
tpeg 0xF1E00445 "TPEG Traffic 10B" 6 0x101 sid 1.10.8 name "Demo TPEG 10B" period 200
)";
        ChildProcess builder("dmbtpeg-mkbroadcast",
                             {"--config", config, m_env.Root("radio"), "--quiet", "--iq", "--snr",
                              "15", "--cfo", "800", "--sco", "10", "--seed", "2"});
        // Modulation takes a while in a sanitizer build.
        ASSERT_EQ(builder.Wait(3 * kPatience), 0) << builder.Errors();
    }

    ChildProcess InitSdrRoot(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"init", m_env.Root("unit"), "--tuner",
                                      "sdr",  "--source",         "file:" + m_env.Root("radio")};
        args.insert(args.end(), extra.begin(), extra.end());
        return ChildProcess("dmbtpeg-device", args);
    }
};

TEST_F(SdrReception, ScanThroughTheSdrTunerFindsEveryServiceOnAir) {
    ChildProcess device = InitSdrRoot({"--scan-source"});
    ASSERT_EQ(device.Wait(kPatience), 0) << device.Errors();
    EXPECT_NE(device.Output().find("scan file with 4 services"), std::string::npos)
        << device.Output();
}

TEST_F(SdrReception, EveryApplicationsFileIsAnnouncedFromTheRadioSignal) {
    ChildProcess device = InitSdrRoot();
    ASSERT_EQ(device.Wait(kPatience), 0) << device.Errors();
    auto navmon = StartNavigationApplication();
    // Twice as fast as on air: the receiver keeps up in a sanitizer build too.
    StartService(0.5);
    static const std::regex file(R"re(\{"event":"file","kind":(\d+))re");
    std::set<int> seen;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::string text = navmon->Output();
            for (std::sregex_iterator it(text.begin(), text.end(), file), end; it != end; ++it) {
                seen.insert(std::stoi((*it)[1]));
            }
            return seen.size() == 10;
        },
        kPatience))
        << navmon->Output();
}

}  // namespace
