#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>

#include "platform/message_queue.h"
#include "platform/window.h"
#include "tests/integration/demo_broadcast.h"
#include "tests/integration/demo_service_test.h"
#include "tests/integration/service_process.h"
#include "tests/support/bus_test.h"
#include "tests/support/time_scale.h"

using testsupport::BroadcastMessages;
using testsupport::ChildProcess;
using testsupport::WaitUntil;

namespace {

constexpr auto kPatience = testsupport::kServicePatience;

struct Announcement {
    int kind;
    std::string path;
};

class ReceptionOnBus : public testsupport::DemoServiceTest {
  protected:
    static std::vector<Announcement> Files(const ChildProcess& navmon) {
        static const std::regex file(
            R"re(\{"event":"file","kind":(\d+),"path":"((?:[^"\\]|\\.)*)")re");
        std::vector<Announcement> out;
        std::string text = navmon.Output();
        for (std::sregex_iterator it(text.begin(), text.end(), file), end; it != end; ++it) {
            std::string path = std::regex_replace((*it)[2].str(), std::regex(R"(\\\\)"), "\\");
            out.push_back({std::stoi((*it)[1]), path});
        }
        return out;
    }
};

TEST_F(ReceptionOnBus, EveryApplicationsFileIsAnnouncedWithItsKindAndTheBroadcastContent) {
    const std::map<int, std::string> kinds = {
        {0, "TPCTTL3.BIN"}, {11, "TPSDI.BIN"},   {20, "TPPOI.BIN"},   {24, "TPNWS.BIN"},
        {15, "TPRTM.BIN"},  {1, "TPCTTSUM.BIN"}, {2, "TPCTTL3P.BIN"}, {12, "TPSDI2.BIN"},
        {22, "TPOIL.BIN"},  {21, "TPOIL2.BIN"}};
    auto contents = BroadcastMessages(m_env.Root("air/183008.eti"));
    ASSERT_EQ(contents.size(), 10u);

    auto navmon = StartNavigationApplication();
    StartService();
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::set<int> seen;
            for (const auto& a : Files(*navmon)) {
                seen.insert(a.kind);
            }
            return seen.size() == kinds.size();
        },
        kPatience))
        << navmon->Output();
    EXPECT_GE(States(*navmon, 1), 1u);
    for (const auto& announcement : Files(*navmon)) {
        ASSERT_TRUE(kinds.count(announcement.kind)) << announcement.kind;
        EXPECT_EQ(announcement.path, "\\TPEGDATA\\" + kinds.at(announcement.kind));
    }
    // The files now on the device hold messages the broadcast carried.
    m_service->Signal(SIGTERM);
    ASSERT_EQ(m_service->Wait(kPatience), 0);
    for (const auto& [kind, name] : kinds) {
        std::ifstream in(m_env.Root("unit/TPEGDATA/" + name), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        EXPECT_TRUE(testsupport::HoldsBroadcastMessages(bytes.str(), contents))
            << name << " holds bytes the broadcast never carried";
    }
}

// As broadcasters send it: the TPEG service shares its sub-channel with
// another data service whose data groups come first in every frame, and every
// data group is sent twice. Only the address the FIC gives is decoded.
TEST_F(ReceptionOnBus, SharedSubChannelWithRepeatedDataGroupsStillGivesEveryFile) {
    const std::string config = m_env.Root("air.conf");
    std::ofstream(config) << R"(frames 2500
ensemble 183008 0xE0B8 "Demo DMB 8B"
subchannel 1 uep 35
subchannel 2 eep 384 3
subchannel 3 eep 64 3
audio 0xE1B1 "Demo Radio 8B" 1
video 0xE1B2 "Demo TV 8B" 2
tpeg 0xF1E00448 "TPEG Traffic 8B" 3 0x100 sid 1.8.8 name "Demo TPEG 8B" period 625 shared 0x200 repeat 1
ensemble 195008 0xE0AB "Demo DMB 10B"
subchannel 4 uep 35
subchannel 5 eep 384 3
subchannel 6 eep 64 3 fec
audio 0xE2B1 "Demo Radio 10B" 4
video 0xE2B2 "Demo TV 10B" 5
tpeg 0xF1E00445 "TPEG Traffic 10B" 6 0x101 sid 1.10.8 name "Demo TPEG 10B" period 500 shared 0x200 repeat 1
)";
    ChildProcess builder("dmbtpeg-mkbroadcast", {"--config", config, m_env.Root("air"), "--quiet"});
    ASSERT_EQ(builder.Wait(kPatience), 0) << builder.Errors();

    auto navmon = StartNavigationApplication();
    StartService();
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::set<int> seen;
            for (const auto& a : Files(*navmon)) {
                seen.insert(a.kind);
            }
            return seen.size() == 10;
        },
        kPatience))
        << navmon->Output();
}

// Another encoder's emergency alert service, sent as it is in our ensemble whose FIC gives a
// time before the alert expires, with its AID moved to the news file by configuration: the
// announced file holds the alert exactly as its analysis describes it.
TEST_F(ReceptionOnBus, IndependentEncodersServiceReachesTheFileItsAidIsConfiguredFor) {
    const std::filesystem::path sample = std::filesystem::path(DMBTPEG_TESTDATA_DIR) / "tpeg-tisa" /
                                         "TPEG_EAW_for_37A128001FE00BB8_20210504T092224.tpeg";
    if (!std::filesystem::exists(sample)) {
        GTEST_SKIP() << "independent TPEG samples not found at " << sample.parent_path();
    }
    const std::string config = m_env.Root("air.conf");
    std::ofstream(config) << R"(frames 500
ensemble 183008 0xE0B8 "Demo DMB 8B"
time 2021-05-04T08:00:00
subchannel 3 eep 64 3
tpeg 0xF1E00448 "TPEG Traffic 8B" 3 0x100 stream ")"
                          << sample.string() << "\"\n";
    ChildProcess builder("dmbtpeg-mkbroadcast", {"--config", config, m_env.Root("air"), "--quiet"});
    ASSERT_EQ(builder.Wait(kPatience), 0) << builder.Errors();
    ChildProcess aids("dmbtpeg-device", {"aids", m_env.Root("unit"), "TPNWS.BIN", "0x000F"});
    ASSERT_EQ(aids.Wait(kPatience), 0) << aids.Errors();

    auto navmon = StartNavigationApplication();
    StartService();
    ASSERT_TRUE(WaitUntil([&] { return !Files(*navmon).empty(); }, kPatience)) << m_env.Log();
    m_service->Signal(SIGTERM);
    ASSERT_EQ(m_service->Wait(kPatience), 0);
    for (const auto& announcement : Files(*navmon)) {
        EXPECT_EQ(announcement.kind, 24) << announcement.path;
    }
    std::ifstream in(m_env.Root("unit/TPEGDATA/TPNWS.BIN"), std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto entries = broadcast::ReadMessageFile(
        std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()));
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 1u);
    const auto& alert = entries->front();
    EXPECT_EQ(alert.aid, 0x000F);
    EXPECT_EQ(alert.messageId, 20u);
    EXPECT_EQ(alert.versionId, 1);
    EXPECT_EQ(alert.expiryTime, 1620116544u);  // 2021-05-04 08:22:24
    std::ifstream stream(sample, std::ios::binary);
    const std::string broadcast{std::istreambuf_iterator<char>(stream),
                                std::istreambuf_iterator<char>()};
    EXPECT_NE(broadcast.find(std::string(alert.bytes.begin(), alert.bytes.end())),
              std::string::npos)
        << "the message as broadcast";
}

TEST_F(ReceptionOnBus, CameraManagerTakesTheTunerAndGivesItBack) {
    auto observer = StartPeer("dmbtpeg-window", {"Observer", "--json"}, "");
    auto navmon = StartNavigationApplication();
    StartService();
    ASSERT_TRUE(WaitUntil([&] { return States(*navmon, 1) >= 1; }, kPatience));
    auto camera = StartPeer("dmbtpeg-window", {"Lumo_CAMManager_AV"}, "");
    EXPECT_TRUE(observer->WaitForOutput("TC_SUSPEND_ACK", kPatience));
    std::size_t before = States(*navmon, 1);
    camera->Signal(SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return States(*navmon, 1) > before; }, kPatience));
    EXPECT_TRUE(m_env.WaitForLog("[Lumo DMB] mTsPlayer.CreateGraphBuilder OK!\r\n"));
}

TEST_F(ReceptionOnBus, SignalLossIsAnnouncedAfterFourPollsAndRecoveryAfterwards) {
    auto navmon = StartNavigationApplication();
    StartService();
    ASSERT_TRUE(WaitUntil([&] { return States(*navmon, 1) >= 1; }, kPatience));
    { std::ofstream(m_env.Root("air/SIGNAL_OFF")); }
    ASSERT_TRUE(WaitUntil([&] { return States(*navmon, 0) >= 1; }, kPatience));
    EXPECT_TRUE(m_env.WaitForLog("[LUMO DMB] NoSignal true \r\n"));
    std::size_t before = States(*navmon, 1);
    std::filesystem::remove(m_env.Root("air/SIGNAL_OFF"));
    EXPECT_TRUE(WaitUntil([&] { return States(*navmon, 1) > before; }, kPatience));
    EXPECT_TRUE(m_env.WaitForLog("[LUMO DMB] NoSignal false \r\n"));
}

TEST_F(ReceptionOnBus, StatusRequestRepeatsTheReceptionState) {
    auto navmon = StartNavigationApplication();
    StartService();
    ASSERT_TRUE(m_env.WaitForLog("[DMB] Start Tpeg Decoder2\r\n"));
    ChildProcess request("dmbtpeg-navmon", {"--request", "status"});
    EXPECT_EQ(request.Wait(kPatience), 0);
    EXPECT_TRUE(m_env.WaitForLog("\r\n [LUMO DMB TPEG] SetBSTpeg Running - skipped\r\n\r\n"));
}

TEST_F(ReceptionOnBus, CloseMessageEndsTheService) {
    auto navmon = StartNavigationApplication();
    StartService();
    platform::HWND service = ServiceWindow();
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(platform::PostMessage(service, platform::WM_CLOSE, 0, 0));
    EXPECT_EQ(m_service->Wait(kPatience), 0);
    EXPECT_TRUE(m_env.WaitForLog("WM_CLOSE\r\n[Lumo DMB] DestoryWindow Call!\r\n"));
}

TEST_F(ReceptionOnBus, ScanFromOutsideRewritesTheChannelListAndRestartsReception) {
    std::filesystem::remove(m_env.Root("unit/SDMMC Disk/SysData/TDMBScan.dat"));
    auto navmon = StartNavigationApplication();
    StartService();
    // No scan file at all: the service scans by itself and then receives.
    ASSERT_TRUE(m_env.WaitForLog("No scan file: scanning the channels\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return States(*navmon, 1) >= 1; }, kPatience));
    ASSERT_TRUE(std::filesystem::exists(m_env.Root("unit/SDMMC Disk/SysData/TDMBScan.dat")));

    ChildProcess request("dmbtpeg-navmon", {"--request", "scan"});
    EXPECT_EQ(request.Wait(kPatience), 0) << request.Errors();
    // The requested scan is the second one; it rebuilds the list of six
    // services and reception restarts on it.
    auto after = [&](const std::string& text, std::size_t from) {
        return m_env.Log().find(text, from);
    };
    std::size_t second = std::string::npos;
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::size_t first = after("[Lumo DMB TEPG] Auto Scan Start! \r\n", 0);
            second = first == std::string::npos
                         ? first
                         : after("[Lumo DMB TEPG] Auto Scan Start! \r\n", first + 1);
            return second != std::string::npos &&
                   after("[ZQ DMB] S_CH_READ = 6 \r\n", second) != std::string::npos;
        },
        kPatience));
    EXPECT_NE(after("[Scan] CH - TPEG Traffic 10B\r\n", second), std::string::npos);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return after("[TDMBPlayer] mChannelInfo : TPEG Traffic 8B\r\n", second) !=
                   std::string::npos;
        },
        kPatience));
}

TEST_F(ReceptionOnBus, CameraManagerArrivingDuringAScanTakesTheTunerAndTheListSurvives) {
    const std::string scanFile = m_env.Root("unit/SDMMC Disk/SysData/TDMBScan.dat");
    auto readScanFile = [&] {
        std::ifstream in(scanFile, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string saved = readScanFile();
    auto navmon = StartNavigationApplication();
    // A tuner slow to lock keeps the scan going over several camera ticks.
    StartService(0.1, {{"DMBTPEG_TUNER_LOCK_MS", "2000"}});
    ASSERT_TRUE(WaitUntil([&] { return States(*navmon, 1) >= 1; }, kPatience));
    for (std::size_t round = 1; round <= 3; ++round) {
        ChildProcess request("dmbtpeg-navmon", {"--request", "scan"}, ServiceEnv());
        ASSERT_EQ(request.Wait(kPatience), 0) << request.Errors();
        ASSERT_TRUE(WaitUntil(
            [&] { return testsupport::Occurrences(m_env.Log(), "-----------------Run2") >= round; },
            kPatience));
        auto camera = std::make_unique<ChildProcess>(
            "dmbtpeg-window", std::vector<std::string>{"Lumo_CAMManager_RV"}, ServiceEnv());
        ASSERT_TRUE(camera->WaitForOutput("TC_SUSPEND_ACK", kPatience)) << m_env.Log();
        EXPECT_EQ(testsupport::Occurrences(
                      m_env.Log(), "[Lumo DMB] channel scan aborted: the channel list is kept"),
                  round);
        const std::size_t before = States(*navmon, 1);
        camera->Signal(SIGTERM);
        camera->Wait(kPatience);
        ASSERT_TRUE(WaitUntil([&] { return States(*navmon, 1) > before; }, kPatience))
            << m_env.Log();
        ASSERT_TRUE(m_service->Running());
    }
    EXPECT_EQ(readScanFile(), saved);
}

}  // namespace
