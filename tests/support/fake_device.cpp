#include "tests/support/fake_device.h"

#include <atomic>
#include <cassert>
#include <cstring>

#include "platform/class_factory.h"
#include "platform/filter_base.h"

using namespace platform;

namespace testsupport {
namespace {

std::atomic<FakeDevice*> gDevice{nullptr};
std::atomic<bool> gRefuseData{false};

class OutputPin final : public PinBase {
  public:
    explicit OutputPin(FilterBase& filter) : PinBase(filter, PINDIR_OUTPUT, u"DOut") {}

  protected:
    HRESULT CheckConnect(IPin* peer) override {
        return FakeDevice::Current().ConnectionRefused() ? VFW_E_CANNOT_CONNECT
                                                         : PinBase::CheckConnect(peer);
    }
};

class InputPin final : public PinBase {
  public:
    explicit InputPin(FilterBase& filter) : PinBase(filter, PINDIR_INPUT, u"Data In") {}
};

class FakeTuner final : public FilterBase, public ITdmbTunerControl {
  public:
    FakeTuner() : FilterBase(CLSID_TdmbTuner) {
        AddPin(std::make_unique<OutputPin>(*this));
        FakeDevice::Current().CountInstance(true, 1);
    }
    ~FakeTuner() override { FakeDevice::Current().CountInstance(true, -1); }

    HRESULT QueryInterface(REFIID iid, void** object) override {
        return FilterBase::QueryInterface(iid, object);
    }
    ULONG AddRef() override { return FilterBase::AddRef(); }
    ULONG Release() override { return FilterBase::Release(); }
    HRESULT GetParam(std::int32_t command, TunerParam* record) override {
        return FakeDevice::Current().Handle(false, command, record);
    }
    HRESULT SetParam(std::int32_t command, TunerParam* record, std::int32_t) override {
        return FakeDevice::Current().Handle(true, command, record);
    }

  protected:
    void* FindInterface(REFIID iid) override {
        if (iid == IID_ITdmbTunerControl) {
            return FakeDevice::Current().TunerInterfaceRefused()
                       ? nullptr
                       : static_cast<ITdmbTunerControl*>(this);
        }
        return FilterBase::FindInterface(iid);
    }
};

class FakeDataFilter final : public FilterBase, public IDataAcquisition {
  public:
    FakeDataFilter() : FilterBase(CLSID_DataAcquisition) {
        AddPin(std::make_unique<InputPin>(*this));
        FakeDevice::Current().CountInstance(false, 1);
    }
    ~FakeDataFilter() override { FakeDevice::Current().CountInstance(false, -1); }

    HRESULT QueryInterface(REFIID iid, void** object) override {
        return FilterBase::QueryInterface(iid, object);
    }
    ULONG AddRef() override { return FilterBase::AddRef(); }
    ULONG Release() override { return FilterBase::Release(); }
    HRESULT SetDataCallback(MscDataCallback callback, void* context) override {
        FakeDevice::Current().RememberCallback(callback, context);
        return S_OK;
    }

  protected:
    void* FindInterface(REFIID iid) override {
        if (iid == IID_IDataAcquisition) {
            return static_cast<IDataAcquisition*>(this);
        }
        return FilterBase::FindInterface(iid);
    }
};

HRESULT CreateDataFilter(REFIID iid, void** object) {
    if (gRefuseData.load()) {
        *object = nullptr;
        return E_FAIL;
    }
    return CreateComInstance<FakeDataFilter>(iid, object);
}

std::string Words(const TunerParam* r) {
    return std::to_string(r->word[1]) + " " + std::to_string(r->word[2]) + " " +
           (r->word[3] != 0 ? std::string("buffer") : std::string("0"));
}

}  // namespace

FakeDevice::FakeDevice() {
    gDevice.store(this);
    gRefuseData = false;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    auto tuner = MakeComObject<ClassFactory>(&CreateComInstance<FakeTuner>);
    auto data = MakeComObject<ClassFactory>(&CreateDataFilter);
    CoRegisterClassObject(CLSID_TdmbTuner, tuner.Get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                          &m_tunerCookie);
    CoRegisterClassObject(CLSID_DataAcquisition, data.Get(), CLSCTX_INPROC_SERVER,
                          REGCLS_MULTIPLEUSE, &m_dataCookie);
}

FakeDevice::~FakeDevice() {
    CoRevokeClassObject(m_tunerCookie);
    CoRevokeClassObject(m_dataCookie);
    CoUninitialize();
    gDevice.store(nullptr);
}

FakeDevice& FakeDevice::Current() {
    FakeDevice* device = gDevice.load();
    assert(device != nullptr);
    return *device;
}

HRESULT FakeDevice::Handle(bool set, std::int32_t command, TunerParam* r) {
    std::function<void(bool, int)> callHook;
    {
        std::lock_guard lock(m_mutex);
        callHook = m_callHook;
    }
    if (callHook) {
        callHook(set, command);
    }
    if (!set && command == kTunerScan && r->word[1] == kScanStep) {
        std::function<bool(int)> hook;
        {
            std::lock_guard lock(m_mutex);
            hook = m_scanHook;
        }
        if (hook && !hook(static_cast<int>(r->word[2]))) {
            std::lock_guard lock(m_mutex);
            m_commands.push_back("get 7 1 " + std::to_string(r->word[2]) + " buffer failed");
            return E_FAIL;
        }
    }
    std::lock_guard lock(m_mutex);
    m_commands.push_back(std::string(set ? "set " : "get ") + std::to_string(command) + " " +
                         Words(r));
    if (m_failing.count(command) != 0) {
        return E_FAIL;
    }
    if (set) {
        if (command == kTunerSetFrequency) {
            m_frequency = r->word[1];
        } else if (command == kTunerSetService) {
            m_service = r->word[1];
            m_subChannel = r->word[2];
        }
        return S_OK;
    }
    switch (command) {
        case kTunerGetFrequency:
            r->word[1] = m_frequency + m_frequencyOffset;
            break;
        case kTunerGetService:
            r->word[1] = m_service + m_serviceOffset;
            r->word[2] = m_subChannel;
            break;
        case kTunerGetSignal:
            r->word[1] = m_signal ? 1 : 0;
            break;
        case kTunerGetScanSteps:
            r->word[2] = static_cast<std::intptr_t>(m_scan.size());
            break;
        case kTunerScan:
            if (r->word[1] == kScanStep) {
                auto step = static_cast<std::size_t>(r->word[2]);
                const auto& found =
                    step < m_scan.size() ? m_scan[step] : std::vector<ChannelInfo>{};
                auto* buffer = reinterpret_cast<std::uint8_t*>(r->word[3]);
                for (std::size_t i = 0; i < found.size() && i < 10; ++i) {
                    std::memcpy(buffer + i * kScanEntrySize, &found[i], kScanEntrySize);
                }
                r->word[1] = m_reportedOverride != -2 ? m_reportedOverride
                                                      : static_cast<std::intptr_t>(found.size());
            }
            break;
        default:
            break;
    }
    return S_OK;
}

std::vector<std::string> FakeDevice::Commands() const {
    std::lock_guard lock(m_mutex);
    return m_commands;
}

std::vector<std::string> FakeDevice::CommandsOf(int command) const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& c : m_commands) {
        if (c.substr(4, c.find(' ', 4) - 4) == std::to_string(command)) {
            out.push_back(c);
        }
    }
    return out;
}

void FakeDevice::ClearCommands() {
    std::lock_guard lock(m_mutex);
    m_commands.clear();
}

void FakeDevice::FailCommand(int command, bool fail) {
    std::lock_guard lock(m_mutex);
    if (fail) {
        m_failing.insert(command);
    } else {
        m_failing.erase(command);
    }
}

void FakeDevice::SetFrequencyOffset(std::int32_t offset) {
    std::lock_guard lock(m_mutex);
    m_frequencyOffset = offset;
}

void FakeDevice::SetServiceOffset(std::int32_t offset) {
    std::lock_guard lock(m_mutex);
    m_serviceOffset = offset;
}

void FakeDevice::SetSignal(bool present) {
    std::lock_guard lock(m_mutex);
    m_signal = present;
}

void FakeDevice::SetScan(std::vector<std::vector<ChannelInfo>> steps,
                         std::intptr_t reportedOverride) {
    std::lock_guard lock(m_mutex);
    m_scan = std::move(steps);
    m_reportedOverride = reportedOverride;
}

void FakeDevice::RefuseTunerInterface(bool refuse) {
    std::lock_guard lock(m_mutex);
    m_refuseTuner = refuse;
}

void FakeDevice::RefuseDataFilter(bool refuse) {
    gRefuseData = refuse;
}

void FakeDevice::OnScanStep(std::function<bool(int step)> hook) {
    std::lock_guard lock(m_mutex);
    m_scanHook = std::move(hook);
}

void FakeDevice::OnTunerCall(std::function<void(bool set, int command)> hook) {
    std::lock_guard lock(m_mutex);
    m_callHook = std::move(hook);
}

void FakeDevice::RefuseConnection(bool refuse) {
    std::lock_guard lock(m_mutex);
    m_refuseConnection = refuse;
}

bool FakeDevice::ConnectionRefused() const {
    std::lock_guard lock(m_mutex);
    return m_refuseConnection;
}

bool FakeDevice::TunerInterfaceRefused() const {
    std::lock_guard lock(m_mutex);
    return m_refuseTuner;
}

void FakeDevice::RememberCallback(MscDataCallback callback, void* context) {
    std::lock_guard lock(m_mutex);
    m_callback = callback;
    m_context = context;
}

MscDataCallback FakeDevice::Callback() const {
    std::lock_guard lock(m_mutex);
    return m_callback;
}

void* FakeDevice::CallbackContext() const {
    std::lock_guard lock(m_mutex);
    return m_context;
}

void FakeDevice::CountInstance(bool tuner, int delta) {
    std::lock_guard lock(m_mutex);
    (tuner ? m_tuners : m_dataFilters) += delta;
}

int FakeDevice::TunerInstances() const {
    std::lock_guard lock(m_mutex);
    return m_tuners;
}

int FakeDevice::DataFilterInstances() const {
    std::lock_guard lock(m_mutex);
    return m_dataFilters;
}

}  // namespace testsupport
