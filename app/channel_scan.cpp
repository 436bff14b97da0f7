#include "channels/channel_scan.h"
#include "app/service_globals.h"
#include "app/tdmb_main.h"
#include "platform/clock.h"
#include "platform/format.h"

#include <memory>
#include <vector>

using namespace platform;

bool TDmbMain::ScanBusy() const {
    return mhScanDone != nullptr && WaitForSingleObject(mhScanDone, 0) != WAIT_OBJECT_0;
}

void TDmbMain::AutoScan(bool start) {
    if (!start) {
        // A stop request ends the scan early and keeps the channel list it
        // had; reception restarts as after any abort. One raised before the
        // scan thread got going counts as well.
        if (gbScanRunning.load() == 1 || ScanBusy()) {
            gbScanAbort = 1;
        }
        return;
    }
    // Without the tuner (before the start step, given up to the camera
    // manager, or while ending) every tuner request fails and the scan would
    // find nothing.
    if (!mbStartStepDone || gbReceptionOn.load() != 1 || gbServiceClosing.load() == 1 ||
        GiveUpUnfinished()) {
        DebugPrintf(u"[Lumo DMB] channel scan refused: the service does not hold the tuner\r\n");
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
    gbScanAbort = 0;
    mbScanYields = false;
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

namespace {

// The list as it was before a scan, to put back when the scan brings nothing.
struct ListBeforeScan {
    std::vector<std::unique_ptr<ChannelInfo>> entries;
    std::int32_t country, band, type1Index, type2Index;

    explicit ListBeforeScan(CChannelList& list)
        : entries(std::move(list.mEntries)),
          country(list.mdwCountry),
          band(list.mdwBand),
          type1Index(list.mdwType1Index),
          type2Index(list.mdwType2Index) {
        list.mEntries.clear();
    }
    void Restore(CChannelList& list) {
        list.mEntries = std::move(entries);
        list.mdwCountry = country;
        list.mdwBand = band;
        list.mdwType1Index = type1Index;
        list.mdwType2Index = type2Index;
    }
};

}  // namespace

std::uint32_t TDmbMain::Run2() {
    DebugPrintf(u"-----------------Run2-----------------\r\n");
    mChannelState = kChannelScanStarting;
    StopForRebuild(Build());
    bool keptList = false;
    if (mTsPlayer.CreateFilters(kGraphModeScan)) {
        ListBeforeScan before(mChannel);
        mChannel.mdwType1Index = 0;
        mChannel.mdwType2Index = 0;
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

        // A scan without signal, or one cut short, must not cost the list
        // that reception depends on.
        const bool aborted = gbScanAbort.load() == 1;
        if ((aborted || mChannel.Size() == 0) && !before.entries.empty()) {
            before.Restore(mChannel);
            keptList = true;
            DebugPrintf(
                aborted
                    ? u"[Lumo DMB] channel scan aborted: the channel list is kept\r\n"
                    : u"[Lumo DMB] channel scan found no service: the channel list is kept\r\n");
        }
    }
    if (HANDLE self = mhThread2.exchange(nullptr)) {
        CloseHandle(self);
    }
    gbScanRunning = 0;
    if (!keptList) {
        mChannel.Save();
    }
    // Reception given up to the camera manager right after an aborted scan
    // would only tear the rebuilt graph down again.
    if (gbServiceClosing.load() != 1 && !mbScanYields.load()) {
        mnGraphMode = kGraphModeData;
        BuildGraph();
        ReportChannels();
        UpdateChannelInfo();
    }
    SetEvent(mhScanDone);
    return 0;
}
