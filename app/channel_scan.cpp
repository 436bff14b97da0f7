#include "app/service_globals.h"
#include "app/tdmb_main.h"
#include "channels/channel_scan.h"
#include "platform/clock.h"
#include "platform/format.h"

using namespace platform;

bool TDmbMain::ScanBusy() const {
    return mhScanDone != nullptr && WaitForSingleObject(mhScanDone, 0) != WAIT_OBJECT_0;
}

void TDmbMain::AutoScan(bool start) {
    if (!start) {
        // A stop request ends the scan early; what was found so far is saved
        // and reception restarts, as after any abort.
        if (gbScanRunning.load() == 1) {
            gbScanAbort = 1;
        }
        return;
    }
    // A scan that has cleared its flag may still be saving or rebuilding; a
    // second scan must not share the list and the graph with it.
    if (ScanBusy() || mhThread2.load() != nullptr) {
        DebugPrintf(u"[Lumo DMB] Fail to create a thread. \r\n");
        return;
    }
    if (mhScanDone == nullptr) {
        mhScanDone = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    }
    ResetEvent(mhScanDone);
    // Raised before the thread exists, so a scan that ends at once leaves it 0.
    gbScanRunning = 1;
    if (Create2(0, 0, nullptr) != 1) {
        gbScanRunning = 0;
        SetEvent(mhScanDone);
        DebugPrintf(u"[Lumo DMB] Fail to create a thread. \r\n");
        return;
    }
    DebugPrintf(u"[Lumo DMB TEPG] Auto Scan Start! \r\n");
}

std::uint32_t TDmbMain::Run2() {
    DebugPrintf(u"-----------------Run2-----------------\r\n");
    mChannelState = kChannelScanStarting;
    StopForRebuild(Build());
    if (mTsPlayer.CreateFilters(kGraphModeScan)) {
        mChannel.Clear();
        mChannel.mdwType1Index = 0;
        mChannel.mdwType2Index = 0;
        gbScanAbort = 0;
        mChannel.mdwCountry = kCountryKorea;
        mChannel.mdwBand = 0;

        TunerParam record{};
        record.word[1] = kCountryKorea;
        mTsPlayer.SetTunerParam(kTunerSetRegion, &record);
        record = {};
        mTsPlayer.GetTunerParam(kTunerGetScanSteps, &record);
        const auto steps = static_cast<std::uint32_t>(record.word[2]);
        record = {};
        record.word[1] = kScanBegin;
        mTsPlayer.GetTunerParam(kTunerScan, &record);

        std::uint8_t reply[kScanReplyBytes] = {};
        for (std::uint32_t step = 0; step < steps; ++step) {
            if (gbScanAbort.load() == 1) {
                break;
            }
            record = {};
            record.word[1] = kScanStep;
            record.word[2] = static_cast<std::int32_t>(step);
            record.word[3] = reinterpret_cast<std::intptr_t>(reply);
            // A failed step has written nothing: its record still holds the
            // request, which is no count of services.
            if (mTsPlayer.GetTunerParam(kTunerScan, &record)) {
                TakeScanResults(mChannel, reply, record.word[1], gbScanAbort);
            }
        }
        record = {};
        record.word[1] = kScanEnd;
        mTsPlayer.GetTunerParam(kTunerScan, &record);
    }
    if (HANDLE self = mhThread2.exchange(nullptr)) {
        CloseHandle(self);
    }
    gbScanRunning = 0;
    mChannel.Save();
    if (gbServiceClosing.load() != 1) {
        mnGraphMode = kGraphModeData;
        BuildGraph();
        ReportChannels();
        UpdateChannelInfo();
    }
    SetEvent(mhScanDone);
    return 0;
}
