#include <fstream>
#include <sstream>

#include "tests/app/service_fixture.h"

using namespace platform;

namespace {

ChannelInfo Found(std::uint32_t id, std::int32_t type, const char* label = "SVC") {
    ChannelInfo e{};
    e.dwScanWord0 = 7;
    e.dwFrequency = 195008;
    e.dwServiceId = id;
    std::memcpy(e.szLabel, label, std::strlen(label));
    e.dwSubChannel = 3;
    e.dwServiceType = type;
    e.dwScanWord10 = 9;
    e.byAudioCode = 99;  // not part of the tuner's entry: must not survive
    return e;
}

std::vector<ChannelInfo> Many(int n, std::uint32_t first) {
    std::vector<ChannelInfo> v;
    for (int i = 0; i < n; ++i) {
        v.push_back(Found(first + static_cast<std::uint32_t>(i), kServiceTypeData));
    }
    return v;
}

class Scan : public testsupport::ServiceTest {
protected:
    // The main window with its graph and tuner, as after a start step.
    void OpenWithTuner() {
        Open();
        ASSERT_TRUE(m_main->mTsPlayer.CreateGraphBuilder());
    }
    void RunScan() {
        m_main->AutoScan(true);
        ASSERT_TRUE(WaitUntil([&] { return !m_main->ScanBusy(); }));
        EXPECT_EQ(gbScanRunning.load(), 0);
        EXPECT_EQ(m_main->mhThread2.load(), nullptr);
    }
    std::string ScanFile() {
        std::ifstream in(m_root / "SDMMC Disk/SysData/TDMBScan.dat", std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST_F(Scan, RebuildsTheListWritesTheFileAndRestartsReception) {
    WriteScanFile({testsupport::TpegService(0xF1E00245)});
    Open();
    StartReception();
    m_device.SetScan({{Found(0x1001, kServiceTypeVideo), Found(0x1002, kServiceTypeAudio, "MUSIC")},
                      {Found(0xF1E00448, kServiceTypeData, "TPEG")}});
    m_log.Clear();
    RunScan();

    const CChannelList& list = m_main->mChannel;
    ASSERT_EQ(list.Size(), 3u);
    EXPECT_EQ(list.At(0).byAudioCode, 0);
    EXPECT_EQ(list.At(0).dwSampleRate, 0);
    EXPECT_EQ(list.At(1).byAudioCode, 22);
    EXPECT_EQ(list.At(1).dwAudioChannels, 2);
    EXPECT_EQ(list.At(1).dwSampleRate, 48000);
    EXPECT_EQ(list.At(2).byAudioCode, 0);
    EXPECT_EQ(ScanFile().substr(0, 16), "1004\n82\n0\n3\n0\n0\n");
    std::string log = LogText();
    EXPECT_NE(log.find("[Lumo DMB TEPG] Auto Scan Start! \r\n"), std::string::npos);
    EXPECT_NE(log.find("-----------------Run2-----------------\r\n"), std::string::npos);
    EXPECT_NE(log.find("[Scan] CH - MUSIC\r\n"), std::string::npos);
    EXPECT_EQ(m_device.CommandsOf(kTunerScan).front(), "get 7 0 0 0");
    EXPECT_EQ(m_device.CommandsOf(kTunerScan).back(), "get 7 2 0 0");
    ASSERT_TRUE(WaitUntil([&] { return m_main->mChannelState.load() == kChannelValid; }));
    EXPECT_EQ(m_main->mChannelInfo.dwServiceId, 0xF1E00448u);
}

TEST_F(Scan, AtMostTenEntriesAStepAndNegativeCountsAsNone) {
    OpenWithTuner();
    m_device.SetScan({Many(12, 0x2000)}, 12);
    RunScan();
    EXPECT_EQ(m_main->mChannel.Size(), 10u);

    m_log.Clear();
    m_device.SetScan({Many(3, 0x3000)}, -1);
    RunScan();
    EXPECT_EQ(m_main->mChannel.Size(), 0u);
    EXPECT_EQ(LogCount("Fail to get channel information \r\n"), 1u);
}

TEST_F(Scan, FailedStepContributesNothing) {
    OpenWithTuner();
    m_device.SetScan({Many(2, 0x4000), Many(2, 0x5000), Many(2, 0x6000)});
    m_device.OnScanStep([](int step) { return step != 1; });
    RunScan();
    ASSERT_EQ(m_main->mChannel.Size(), 4u);
    EXPECT_EQ(m_main->mChannel.At(2).dwServiceId, 0x6000u);
}

TEST_F(Scan, AbortDuringAStepKeepsWhatWasFoundAndStillEndsTheScan) {
    OpenWithTuner();
    std::vector<std::vector<ChannelInfo>> steps;
    for (int s = 0; s < 10; ++s) {
        steps.push_back(Many(3, 0x7000 + static_cast<std::uint32_t>(s) * 16));
    }
    m_device.SetScan(steps);
    m_device.OnScanStep([](int step) {
        if (step == 3) {
            gbScanAbort = 1;
        }
        return true;
    });
    RunScan();
    EXPECT_EQ(m_main->mChannel.Size(), 9u) << "the entries of step 3 come after the abort";
    EXPECT_EQ(m_device.CommandsOf(kTunerScan).size(), 1u + 4u + 1u);
    EXPECT_EQ(m_device.CommandsOf(kTunerScan).back(), "get 7 2 0 0");
    EXPECT_EQ(ScanFile().substr(0, 16), "1004\n82\n0\n9\n0\n0\n");
}

TEST_F(Scan, SecondScanWhileOneRunsIsRefused) {
    OpenWithTuner();
    HANDLE release = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    m_device.SetScan({Many(1, 0x8000), Many(1, 0x8001)});
    m_device.OnScanStep([release](int) {
        WaitForSingleObject(release, 20000);
        return true;
    });
    m_main->AutoScan(true);
    m_main->AutoScan(true);
    EXPECT_EQ(LogCount("[Lumo DMB] Fail to create a thread. \r\n"), 1u);
    EXPECT_EQ(LogCount("[Lumo DMB TEPG] Auto Scan Start! \r\n"), 1u);
    SetEvent(release);
    ASSERT_TRUE(WaitUntil([&] { return !m_main->ScanBusy(); }));
    RunScan();
    CloseHandle(release);
}

TEST_F(Scan, ShutdownAbortsARunningScanAndWaitsForIt) {
    WriteScanFile({testsupport::TpegService()});
    OpenWithTuner();
    m_device.SetScan({Many(1, 0x9000), Many(1, 0x9001), Many(1, 0x9002)});
    std::atomic<int> stepsSeen{0};
    m_device.OnScanStep([&](int) {
        ++stepsSeen;
        Sleep(100);
        return true;
    });
    m_main->AutoScan(true);
    ASSERT_TRUE(WaitUntil([&] { return stepsSeen.load() >= 1; }));
    gbServiceClosing = 1;
    m_main->ShutdownService();
    EXPECT_EQ(gbScanRunning.load(), 0);
    EXPECT_EQ(m_main->mhThread2.load(), nullptr);
    EXPECT_LT(stepsSeen.load(), 3);
    EXPECT_EQ(LogText().find("TDmbMain Filter_TF"), std::string::npos) << "no rebuild while closing";
}

TEST_F(Scan, MissingScanFileStartsAScanAfterTheStartStep) {
    std::filesystem::remove(m_root / "SDMMC Disk/SysData/TDMBScan.dat");
    std::filesystem::remove(m_root / "Nand/TDMBScan.dat");
    Open();
    m_device.SetScan({{Found(0xF1E00448, kServiceTypeData, "TPEG")}});
    m_main->OnServiceTimer(ID_TIMER_START);
    ASSERT_TRUE(WaitUntil([&] { return !m_main->ScanBusy(); }));
    ASSERT_TRUE(WaitForTuned());
    EXPECT_NE(ScanFile().find("f1e00448"), std::string::npos);
}

}  // namespace
