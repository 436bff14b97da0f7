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
    // The main window receiving its one TPEG service, as after a start step.
    void OpenWithTuner() {
        WriteScanFile({testsupport::TpegService()});
        Open();
        StartReception();
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

    // A scan that finds nothing (no step, or no service in any) keeps the
    // list and its file.
    const std::string saved = ScanFile();
    m_device.SetScan({Many(3, 0x3000)}, -1);
    RunScan();
    m_device.SetScan({});
    RunScan();
    EXPECT_EQ(m_main->mChannel.Size(), 10u);
    EXPECT_EQ(ScanFile(), saved);
    EXPECT_EQ(LogCount("[Lumo DMB] channel scan found no service: the channel list is kept\r\n"),
              2u);
}

TEST_F(Scan, FailedStepContributesNothing) {
    OpenWithTuner();
    m_device.SetScan({Many(2, 0x4000), Many(2, 0x5000), Many(2, 0x6000)});
    m_device.OnScanStep([](int step) { return step != 1; });
    RunScan();
    ASSERT_EQ(m_main->mChannel.Size(), 4u);
    EXPECT_EQ(m_main->mChannel.At(2).dwServiceId, 0x6000u);
}

TEST_F(Scan, AbortDuringAStepKeepsThePreviousListAndStillEndsTheScan) {
    OpenWithTuner();
    const std::string saved = ScanFile();
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
    EXPECT_EQ(m_device.CommandsOf(kTunerScan).size(), 1u + 4u + 1u);
    EXPECT_EQ(m_device.CommandsOf(kTunerScan).back(), "get 7 2 0 0");
    ASSERT_EQ(m_main->mChannel.Size(), 1u);
    EXPECT_EQ(m_main->mChannel.At(0).dwServiceId, 0xF1E00448u);
    EXPECT_EQ(ScanFile(), saved);
    EXPECT_EQ(LogCount("[Lumo DMB] channel scan aborted: the channel list is kept\r\n"), 1u);
}

TEST_F(Scan, AbortRaisedBeforeTheScanThreadGetsGoingIsKept) {
    OpenWithTuner();
    m_device.SetScan({Many(1, 0x7100), Many(1, 0x7101)});
    // The scan thread's stop step needs the channel lock: it cannot reach
    // its first step before the abort.
    EnterCriticalSection(&m_main->mcsChannelInfo);
    m_main->AutoScan(true);
    m_main->AutoScan(false);
    LeaveCriticalSection(&m_main->mcsChannelInfo);
    ASSERT_TRUE(WaitUntil([&] { return !m_main->ScanBusy(); }));
    EXPECT_EQ(m_device.CommandsOf(kTunerScan).size(), 2u) << "begin and end, no step";
    EXPECT_EQ(m_main->mChannel.Size(), 1u);
}

TEST_F(Scan, RefusedWhileTheServiceDoesNotHoldTheTuner) {
    WriteScanFile({testsupport::TpegService()});
    Open();
    m_main->AutoScan(true);  // before the start step
    StartReception();
    m_main->SetReception(false);  // given up to the camera manager
    m_main->AutoScan(true);
    m_main->SetReception(true);
    gbServiceClosing = 1;
    m_main->AutoScan(true);
    EXPECT_EQ(LogCount("[Lumo DMB] channel scan refused: the service does not hold the tuner\r\n"),
              3u);
    EXPECT_EQ(m_main->mhThread2.load(), nullptr);
    EXPECT_TRUE(m_device.CommandsOf(kTunerScan).empty());
    EXPECT_EQ(m_main->mChannel.Size(), 1u);
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
    // The first step lasts until the shutdown has asked the scan to stop, however slowly the
    // shutdown gets there.
    m_device.OnScanStep([&](int) {
        ++stepsSeen;
        WaitUntil([] { return gbScanAbort.load() == 1; });
        return true;
    });
    m_log.Clear();
    m_main->AutoScan(true);
    ASSERT_TRUE(WaitUntil([&] { return stepsSeen.load() >= 1; }));
    gbServiceClosing = 1;
    m_main->ShutdownService();
    EXPECT_EQ(gbScanRunning.load(), 0);
    EXPECT_EQ(m_main->mhThread2.load(), nullptr);
    EXPECT_EQ(stepsSeen.load(), 1);
    EXPECT_EQ(LogText().find("TDmbMain Filter_TF"), std::string::npos)
        << "no rebuild while closing";
}

TEST_F(Scan, MissingOrEmptyScanFileStartsAScanAfterTheStartStep) {
    for (bool empty : {false, true}) {
        std::filesystem::remove(m_root / "SDMMC Disk/SysData/TDMBScan.dat");
        std::filesystem::remove(m_root / "Nand/TDMBScan.dat");
        if (empty) {
            WriteScanFile({});
        }
        Open();
        m_device.SetScan({{Found(0xF1E00448, kServiceTypeData, "TPEG")}});
        m_main->OnServiceTimer(ID_TIMER_START);
        ASSERT_TRUE(WaitUntil([&] { return !m_main->ScanBusy(); }));
        ASSERT_TRUE(WaitForTuned());
        EXPECT_NE(ScanFile().find("f1e00448"), std::string::npos);
        EXPECT_EQ(LogCount(empty ? "Scan file lists no channel: scanning the channels\r\n"
                                 : "No scan file: scanning the channels\r\n"),
                  1u);
        Close();
        gbServiceClosing = 0;
    }
}

class CameraWindow : public Window {};

TEST_F(Scan, CameraManagerDuringAScanAbortsItAndTakesTheTuner) {
    testsupport::NavAppStandIn navApp;
    OpenWithTuner();
    m_device.SetScan({Many(1, 0xA000), Many(1, 0xA001), Many(1, 0xA002)});
    std::atomic<bool> inStep{false};
    // A tuner that takes its time to lock: the step ends once the abort is seen.
    m_device.OnScanStep([&](int) {
        inStep = true;
        while (gbScanAbort.load() == 0) {
            Sleep(10);
        }
        return true;
    });
    m_main->AutoScan(true);
    ASSERT_TRUE(WaitUntil([&] { return inStep.load(); }));
    CameraWindow camera;
    ASSERT_NE(camera.Create(nullptr, u"Lumo_CAMManager_RV", 0, 0, 0, 0, 0), nullptr);
    m_main->WindowProc(WM_TIMER, ID_TIMER_CAMERA, 0);

    EXPECT_FALSE(m_main->ScanBusy());
    EXPECT_EQ(gbReceptionOn.load(), 0);
    EXPECT_EQ(m_device.TunerInstances(), 0);
    EXPECT_EQ(LogText().find("TDmbMain Filter_TF", LogText().find("Run2")), std::string::npos)
        << "no rebuild for a graph about to be given up";
    ASSERT_EQ(m_main->mChannel.Size(), 1u);
    EXPECT_EQ(m_main->mChannel.At(0).dwServiceId, 0xF1E00448u);
    EXPECT_TRUE(WaitUntil([&] { return SuspendAcks(navApp) == 1; }));

    DestroyWindow(camera.GetHwnd());
    m_main->WindowProc(WM_TIMER, ID_TIMER_CAMERA, 0);
    EXPECT_TRUE(WaitForTuned());
}

}  // namespace
