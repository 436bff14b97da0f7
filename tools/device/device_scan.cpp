#include "tools/device/device_scan.h"

#include <atomic>
#include <cstdint>

#include "channels/channel_list.h"
#include "channels/channel_scan.h"
#include "graph/device_interfaces.h"
#include "platform/com.h"
#include "platform/com_ptr.h"

namespace devicetool {

using namespace platform;

namespace {

class ComScope {
  public:
    ComScope() : m_hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(m_hr)) {
            CoUninitialize();
        }
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

  private:
    HRESULT m_hr;
};

}  // namespace

int ScanToScanFile(std::string& error) {
    ComScope com;
    ComPtr<ITdmbTunerControl> tuner;
    if (FAILED(CoCreateInstance(CLSID_TdmbTuner, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ITdmbTunerControl,
                                reinterpret_cast<void**>(tuner.GetAddressOf())))) {
        error = "the registered tuner cannot be created";
        return -1;
    }
    CChannelList list;
    list.mdwCountry = kCountryKorea;
    list.mdwBand = 0;

    TunerParam record{};
    record.word[1] = kCountryKorea;
    if (FAILED(tuner->SetParam(kTunerSetRegion, &record, 0))) {
        error = "the tuner refuses the region";
        return -1;
    }
    record = {};
    tuner->GetParam(kTunerGetScanSteps, &record);
    const auto steps = static_cast<std::int32_t>(record.word[2]);
    record = {};
    record.word[1] = kScanBegin;
    tuner->GetParam(kTunerScan, &record);
    std::uint8_t reply[kScanReplyBytes] = {};
    const std::atomic<std::int32_t> noAbort{0};
    for (std::int32_t step = 0; step < steps; ++step) {
        record = {};
        record.word[1] = kScanStep;
        record.word[2] = step;
        record.word[3] = reinterpret_cast<std::intptr_t>(reply);
        if (SUCCEEDED(tuner->GetParam(kTunerScan, &record))) {
            TakeScanResults(list, reply, record.word[1], noAbort);
        }
    }
    record = {};
    record.word[1] = kScanEnd;
    tuner->GetParam(kTunerScan, &record);
    list.Save();
    CChannelList written;
    if (!written.Load() || written.Size() != list.Size()) {
        error = "the scan file cannot be written";
        return -1;
    }
    return static_cast<int>(list.Size());
}

}  // namespace devicetool
