#include "platform/filter_base.h"

#include <algorithm>

#include "platform/critical_section_lock.h"

namespace platform {

namespace {

template <std::size_t N>
void CopyName(std::u16string_view name, WCHAR (&target)[N]) {
    std::size_t length = std::min(name.size(), N - 1);
    name.copy(target, length);
    target[length] = u'\0';
}

// The filter's pins as they were when EnumPins was called. Each pin's
// reference is its filter's, so the snapshot keeps the filter alive.
class PinEnumerator final : public ComObject<IEnumPins> {
  public:
    explicit PinEnumerator(std::vector<ComPtr<IPin>> pins) : m_pins(std::move(pins)) {}

    // S_OK when all `count` pins were returned, S_FALSE when fewer were left.
    HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) override {
        if (pins == nullptr || (count > 1 && fetched == nullptr)) {
            return E_POINTER;
        }
        std::lock_guard lock(m_mutex);
        ULONG n = 0;
        while (n < count && m_position < m_pins.size()) {
            m_pins[m_position++].CopyTo(&pins[n++]);
        }
        if (fetched != nullptr) {
            *fetched = n;
        }
        return n == count ? S_OK : S_FALSE;
    }

    HRESULT Reset() override {
        std::lock_guard lock(m_mutex);
        m_position = 0;
        return S_OK;
    }

  private:
    std::mutex m_mutex;
    const std::vector<ComPtr<IPin>> m_pins;
    std::size_t m_position = 0;
};

bool SameDirection(IPin* peer, PIN_DIRECTION direction) {
    PIN_DIRECTION peerDirection = PINDIR_INPUT;
    return SUCCEEDED(peer->QueryDirection(&peerDirection)) && peerDirection == direction;
}

}  // namespace

PinBase::PinBase(FilterBase& filter, PIN_DIRECTION direction, std::u16string name)
    : m_filter(filter), m_direction(direction), m_name(std::move(name)) {}

HRESULT PinBase::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IPin) {
        *object = static_cast<IPin*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG PinBase::AddRef() {
    return m_filter.AddRef();
}

ULONG PinBase::Release() {
    return m_filter.Release();
}

HRESULT PinBase::CanConnect(IPin* peer) {
    if (m_connected) {
        return VFW_E_ALREADY_CONNECTED;
    }
    if (m_filter.State() != State_Stopped) {
        return VFW_E_NOT_STOPPED;
    }
    return CheckConnect(peer);
}

HRESULT PinBase::Connect(IPin* receivePin, const AM_MEDIA_TYPE*) {
    if (receivePin == nullptr) {
        return E_POINTER;
    }
    CriticalSectionLock lock(m_filter.FilterLock());
    HRESULT hr = CanConnect(receivePin);
    if (SUCCEEDED(hr)) {
        hr = receivePin->ReceiveConnection(this, nullptr);
    }
    if (SUCCEEDED(hr)) {
        m_connected = receivePin;
    }
    return hr;
}

HRESULT PinBase::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE*) {
    if (connector == nullptr) {
        return E_POINTER;
    }
    CriticalSectionLock lock(m_filter.FilterLock());
    HRESULT hr = CanConnect(connector);
    if (SUCCEEDED(hr)) {
        m_connected = connector;
    }
    return hr;
}

HRESULT PinBase::Disconnect() {
    CriticalSectionLock lock(m_filter.FilterLock());
    if (m_filter.State() != State_Stopped) {
        return VFW_E_NOT_STOPPED;
    }
    if (!m_connected) {
        return S_FALSE;
    }
    m_connected = nullptr;
    return S_OK;
}

HRESULT PinBase::ConnectedTo(IPin** pin) {
    if (pin == nullptr) {
        return E_POINTER;
    }
    CriticalSectionLock lock(m_filter.FilterLock());
    m_connected.CopyTo(pin);
    return m_connected ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT PinBase::QueryPinInfo(PIN_INFO* info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    info->pFilter = &m_filter;
    info->pFilter->AddRef();
    info->dir = m_direction;
    CopyName(m_name, info->achName);
    return S_OK;
}

HRESULT PinBase::QueryDirection(PIN_DIRECTION* direction) {
    if (direction == nullptr) {
        return E_POINTER;
    }
    *direction = m_direction;
    return S_OK;
}

ComPtr<IPin> PinBase::ConnectedPin() const {
    CriticalSectionLock lock(m_filter.FilterLock());
    return m_connected;
}

HRESULT PinBase::CheckConnect(IPin* peer) {
    return SameDirection(peer, m_direction) ? VFW_E_INVALID_DIRECTION : S_OK;
}

FilterBase::FilterBase(REFCLSID clsid) : m_clsid(clsid) {
    InitializeCriticalSection(&m_lock);
}

FilterBase::~FilterBase() {
    m_pins.clear();
    DeleteCriticalSection(&m_lock);
}

HRESULT FilterBase::GetClassID(CLSID* clsid) {
    if (clsid == nullptr) {
        return E_POINTER;
    }
    *clsid = m_clsid;
    return S_OK;
}

HRESULT FilterBase::Stop() {
    std::lock_guard lock(m_stateChange);
    if (State() == State_Stopped) {
        return S_OK;
    }
    HRESULT hr = OnStop();
    m_state.store(State_Stopped, std::memory_order_release);
    return hr;
}

HRESULT FilterBase::Pause() {
    std::lock_guard lock(m_stateChange);
    return PauseLocked();
}

HRESULT FilterBase::PauseLocked() {
    FILTER_STATE from = State();
    if (from == State_Paused) {
        return S_OK;
    }
    HRESULT hr = OnPause(from);
    if (SUCCEEDED(hr)) {
        m_state.store(State_Paused, std::memory_order_release);
    }
    return hr;
}

HRESULT FilterBase::Run(REFERENCE_TIME start) {
    std::lock_guard lock(m_stateChange);
    if (State() == State_Running) {
        return S_OK;
    }
    if (State() == State_Stopped) {
        HRESULT hr = PauseLocked();
        if (FAILED(hr)) {
            return hr;
        }
    }
    HRESULT hr = OnRun(start);
    if (SUCCEEDED(hr)) {
        m_state.store(State_Running, std::memory_order_release);
    }
    return hr;
}

HRESULT FilterBase::GetState(DWORD, FILTER_STATE* state) {
    if (state == nullptr) {
        return E_POINTER;
    }
    *state = State();
    return S_OK;
}

HRESULT FilterBase::EnumPins(IEnumPins** pins) {
    if (pins == nullptr) {
        return E_POINTER;
    }
    std::vector<ComPtr<IPin>> snapshot;
    {
        CriticalSectionLock lock(m_lock);
        for (const auto& pin : m_pins) {
            snapshot.emplace_back(pin.get());
        }
    }
    *pins = new PinEnumerator(std::move(snapshot));
    return S_OK;
}

HRESULT FilterBase::FindPin(LPCWSTR id, IPin** pin) {
    if (id == nullptr || pin == nullptr) {
        return E_POINTER;
    }
    CriticalSectionLock lock(m_lock);
    for (const auto& candidate : m_pins) {
        if (candidate->Name() == id) {
            *pin = candidate.get();
            candidate->AddRef();
            return S_OK;
        }
    }
    *pin = nullptr;
    return VFW_E_NOT_FOUND;
}

HRESULT FilterBase::JoinFilterGraph(IFilterGraph*, LPCWSTR) {
    return S_OK;
}

PinBase* FilterBase::PinAt(std::size_t index) const {
    CriticalSectionLock lock(m_lock);
    return index < m_pins.size() ? m_pins[index].get() : nullptr;
}

PinBase* FilterBase::AddPin(std::unique_ptr<PinBase> pin) {
    CriticalSectionLock lock(m_lock);
    m_pins.push_back(std::move(pin));
    return m_pins.back().get();
}

HRESULT FilterBase::OnPause(FILTER_STATE) {
    return S_OK;
}

HRESULT FilterBase::OnRun(REFERENCE_TIME) {
    return S_OK;
}

HRESULT FilterBase::OnStop() {
    return S_OK;
}

}  // namespace platform
