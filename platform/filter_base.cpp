#include "platform/filter_base.h"

#include <algorithm>

#include "platform/com.h"
#include "platform/com_enumerator.h"
#include "platform/critical_section_lock.h"
#include "platform/media_type.h"

namespace platform {

namespace {

template <std::size_t N>
void CopyName(std::u16string_view name, WCHAR (&target)[N]) {
    std::size_t length = std::min(name.size(), N - 1);
    name.copy(target, length);
    target[length] = u'\0';
}

bool SameDirection(IPin* peer, PIN_DIRECTION direction) {
    PIN_DIRECTION peerDirection = PINDIR_INPUT;
    return SUCCEEDED(peer->QueryDirection(&peerDirection)) && peerDirection == direction;
}

}  // namespace

PinBase::PinBase(FilterBase& filter, PIN_DIRECTION direction, std::u16string name)
    : m_filter(filter), m_direction(direction), m_name(std::move(name)) {}

PinBase::~PinBase() {
    FreeMediaType(m_mediaType);
}

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

HRESULT PinBase::Connect(IPin* receivePin, const AM_MEDIA_TYPE* mediaType) {
    if (receivePin == nullptr) {
        return E_POINTER;
    }
    CriticalSectionLock lock(m_filter.FilterLock());
    if (m_connected) {
        return VFW_E_ALREADY_CONNECTED;
    }
    if (m_filter.State() != State_Stopped) {
        return VFW_E_NOT_STOPPED;
    }
    HRESULT hr = CheckConnect(receivePin);
    if (FAILED(hr)) {
        return hr;
    }
    AM_MEDIA_TYPE proposed{};
    if (mediaType != nullptr) {
        hr = CopyMediaType(&proposed, *mediaType);
    } else {
        ProposeMediaType(&proposed);
    }
    if (SUCCEEDED(hr) && CheckMediaType(proposed) != S_OK) {
        hr = VFW_E_TYPE_NOT_ACCEPTED;
    }
    if (SUCCEEDED(hr)) {
        hr = receivePin->ReceiveConnection(this, &proposed);
    }
    if (FAILED(hr)) {
        FreeMediaType(proposed);
        return hr;
    }
    m_connected = receivePin;
    m_mediaType = proposed;
    hr = CompleteConnect(receivePin);
    if (FAILED(hr)) {
        receivePin->Disconnect();
        ClearConnection();
        return hr;
    }
    return S_OK;
}

HRESULT PinBase::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mediaType) {
    if (connector == nullptr || mediaType == nullptr) {
        return E_POINTER;
    }
    CriticalSectionLock lock(m_filter.FilterLock());
    if (m_connected) {
        return VFW_E_ALREADY_CONNECTED;
    }
    if (m_filter.State() != State_Stopped) {
        return VFW_E_NOT_STOPPED;
    }
    HRESULT hr = CheckConnect(connector);
    if (FAILED(hr)) {
        return hr;
    }
    if (CheckMediaType(*mediaType) != S_OK) {
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    hr = CopyMediaType(&m_mediaType, *mediaType);
    if (FAILED(hr)) {
        return hr;
    }
    m_connected = connector;
    hr = CompleteConnect(connector);
    if (FAILED(hr)) {
        ClearConnection();
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
    ClearConnection();
    return S_OK;
}

void PinBase::ClearConnection() {
    BreakConnect();
    m_connected = nullptr;
    FreeMediaType(m_mediaType);
}

HRESULT PinBase::ConnectedTo(IPin** pin) {
    if (pin == nullptr) {
        return E_POINTER;
    }
    CriticalSectionLock lock(m_filter.FilterLock());
    m_connected.CopyTo(pin);
    return m_connected ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT PinBase::ConnectionMediaType(AM_MEDIA_TYPE* mediaType) {
    if (mediaType == nullptr) {
        return E_POINTER;
    }
    CriticalSectionLock lock(m_filter.FilterLock());
    if (!m_connected) {
        *mediaType = AM_MEDIA_TYPE{};
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(mediaType, m_mediaType);
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

HRESULT PinBase::QueryId(LPWSTR* id) {
    if (id == nullptr) {
        return E_POINTER;
    }
    *id = static_cast<LPWSTR>(CoTaskMemAlloc((m_name.size() + 1) * sizeof(WCHAR)));
    if (*id == nullptr) {
        return E_OUTOFMEMORY;
    }
    m_name.copy(*id, m_name.size());
    (*id)[m_name.size()] = u'\0';
    return S_OK;
}

HRESULT PinBase::QueryAccept(const AM_MEDIA_TYPE* mediaType) {
    if (mediaType == nullptr) {
        return E_POINTER;
    }
    return CheckMediaType(*mediaType) == S_OK ? S_OK : S_FALSE;
}

HRESULT PinBase::EnumMediaTypes(IEnumMediaTypes** types) {
    if (types != nullptr) {
        *types = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT PinBase::QueryInternalConnections(IPin**, ULONG*) {
    return E_NOTIMPL;
}

HRESULT PinBase::EndOfStream() {
    return S_OK;
}

HRESULT PinBase::BeginFlush() {
    return S_OK;
}

HRESULT PinBase::EndFlush() {
    return S_OK;
}

HRESULT PinBase::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) {
    return S_OK;
}

bool PinBase::IsConnected() const {
    CriticalSectionLock lock(m_filter.FilterLock());
    return static_cast<bool>(m_connected);
}

ComPtr<IPin> PinBase::ConnectedPin() const {
    CriticalSectionLock lock(m_filter.FilterLock());
    return m_connected;
}

HRESULT PinBase::CheckConnect(IPin* peer) {
    return SameDirection(peer, m_direction) ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT PinBase::CheckMediaType(const AM_MEDIA_TYPE&) {
    return S_OK;
}

void PinBase::ProposeMediaType(AM_MEDIA_TYPE* mediaType) {
    *mediaType = AM_MEDIA_TYPE{};
}

HRESULT PinBase::CompleteConnect(IPin*) {
    return S_OK;
}

void PinBase::BreakConnect() {}

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

HRESULT FilterBase::SetSyncSource(IReferenceClock* clock) {
    CriticalSectionLock lock(m_lock);
    m_clock = clock;
    return S_OK;
}

HRESULT FilterBase::GetSyncSource(IReferenceClock** clock) {
    if (clock == nullptr) {
        return E_POINTER;
    }
    CriticalSectionLock lock(m_lock);
    return m_clock.CopyTo(clock);
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
    *pins = new ComEnumerator<IEnumPins, IPin>(std::move(snapshot), nullptr);
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

HRESULT FilterBase::QueryFilterInfo(FILTER_INFO* info) {
    if (info == nullptr) {
        return E_POINTER;
    }
    CriticalSectionLock lock(m_lock);
    CopyName(m_name, info->achName);
    info->pGraph = m_graph;
    if (m_graph != nullptr) {
        m_graph->AddRef();
    }
    return S_OK;
}

HRESULT FilterBase::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
    CriticalSectionLock lock(m_lock);
    m_graph = graph;
    m_name = graph != nullptr && name != nullptr ? std::u16string(name) : std::u16string();
    return S_OK;
}

HRESULT FilterBase::QueryVendorInfo(LPWSTR* vendorInfo) {
    if (vendorInfo != nullptr) {
        *vendorInfo = nullptr;
    }
    return E_NOTIMPL;
}

IFilterGraph* FilterBase::Graph() const {
    CriticalSectionLock lock(m_lock);
    return m_graph;
}

std::u16string FilterBase::Name() const {
    CriticalSectionLock lock(m_lock);
    return m_name;
}

std::size_t FilterBase::PinCount() const {
    CriticalSectionLock lock(m_lock);
    return m_pins.size();
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
