// Stand-ins for the device's tuner and data-acquisition filters, registered
// in this process under the real class identifiers. The tuner records every
// command and answers from a scripted device state; the data filter records
// the callback it is given.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "channels/channel_info.h"
#include "graph/device_interfaces.h"
#include "platform/com.h"

namespace testsupport {

class FakeDevice {
  public:
    // Registers both classes while it lives (and initialises COM for the
    // process).
    FakeDevice();
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;
    static FakeDevice& Current();

    // Commands in order, as "set 1 183008 0 0" or "get 2 ..." with the words
    // as the service sent them.
    std::vector<std::string> Commands() const;
    std::vector<std::string> CommandsOf(int command) const;
    void ClearCommands();

    // Scripted behaviour.
    void FailCommand(int command, bool fail = true);
    void SetFrequencyOffset(std::int32_t offset);  // read back differs by this
    void SetServiceOffset(std::int32_t offset);
    void SetSignal(bool present);
    void SetScan(std::vector<std::vector<ChannelInfo>> steps, std::intptr_t reportedOverride = -2);
    void RefuseTunerInterface(bool refuse);
    void RefuseDataFilter(bool refuse);  // its class cannot be created
    void RefuseConnection(bool refuse);  // the tuner's output pin refuses to connect
    // Called (outside the device's lock) before each scan step is answered;
    // returning false fails that step.
    void OnScanStep(std::function<bool(int step)> hook);
    // Called (outside the device's lock) before every tuner command.
    void OnTunerCall(std::function<void(bool set, int command)> hook);

    // What the data filter was told.
    MscDataCallback Callback() const;
    void* CallbackContext() const;
    int TunerInstances() const;
    int DataFilterInstances() const;

    // Used by the fake filters.
    platform::HRESULT Handle(bool set, std::int32_t command, TunerParam* record);
    void RememberCallback(MscDataCallback callback, void* context);
    bool TunerInterfaceRefused() const;
    bool ConnectionRefused() const;
    void CountInstance(bool tuner, int delta);

  private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_commands;
    std::set<int> m_failing;
    std::int32_t m_frequencyOffset = 0;
    std::int32_t m_serviceOffset = 0;
    bool m_signal = true;
    std::vector<std::vector<ChannelInfo>> m_scan;
    std::intptr_t m_reportedOverride = -2;
    bool m_refuseTuner = false;
    bool m_refuseConnection = false;
    std::function<bool(int)> m_scanHook;
    std::function<void(bool, int)> m_callHook;
    std::intptr_t m_frequency = 0;
    std::intptr_t m_service = 0;
    std::intptr_t m_subChannel = 0;
    MscDataCallback m_callback = nullptr;
    void* m_context = nullptr;
    int m_tuners = 0;
    int m_dataFilters = 0;
    platform::DWORD m_tunerCookie = 0;
    platform::DWORD m_dataCookie = 0;
};

}  // namespace testsupport
