#include "platform/filter_graph.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/class_factory.h"
#include "platform/com_object.h"
#include "platform/com_ptr.h"

namespace platform {

namespace {

constexpr long kMinVolume = -10000;
constexpr long kMaxVolume = 0;

ComPtr<IBaseFilter> FilterOfPin(IPin* pin) {
    PIN_INFO info{};
    if (FAILED(pin->QueryPinInfo(&info))) {
        return nullptr;
    }
    ComPtr<IBaseFilter> filter;
    filter.Attach(info.pFilter);
    return filter;
}

std::vector<ComPtr<IPin>> PinsOf(IBaseFilter* filter) {
    std::vector<ComPtr<IPin>> pins;
    ComPtr<IEnumPins> enumerator;
    if (FAILED(filter->EnumPins(enumerator.GetAddressOf())) || !enumerator) {
        return pins;
    }
    ComPtr<IPin> pin;
    while (enumerator->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        pins.push_back(pin);
    }
    return pins;
}

class FilterGraph final
    : public ComObject<IGraphBuilder, IMediaControl, IMediaFilter, IVideoWindow, IBasicAudio> {
  public:
    ~FilterGraph() override {
        std::lock_guard lock(m_mutex);
        if (m_state != State_Stopped) {
            ChangeStateLocked(State_Stopped, 0);
        }
        while (!m_filters.empty()) {
            Detach(m_filters.back().filter.Get());
            m_filters.pop_back();
        }
    }

    HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) override {
        if (filter == nullptr) {
            return E_POINTER;
        }
        std::lock_guard lock(m_mutex);
        if (Find(filter) != m_filters.end()) {
            return E_INVALIDARG;
        }
        HRESULT joined = filter->JoinFilterGraph(this, name);
        if (FAILED(joined)) {
            return joined;
        }
        m_filters.push_back({ComPtr<IBaseFilter>(filter), name != nullptr ? name : u""});
        return S_OK;
    }

    HRESULT RemoveFilter(IBaseFilter* filter) override {
        if (filter == nullptr) {
            return E_POINTER;
        }
        std::lock_guard lock(m_mutex);
        auto it = Find(filter);
        if (it == m_filters.end()) {
            return VFW_E_NOT_FOUND;
        }
        ComPtr<IBaseFilter> removed = std::move(it->filter);
        m_filters.erase(it);
        Detach(removed.Get());
        return S_OK;
    }

    // The first filter added under exactly that name.
    HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** filter) override {
        if (name == nullptr || filter == nullptr) {
            return E_POINTER;
        }
        std::lock_guard lock(m_mutex);
        auto it = std::find_if(m_filters.begin(), m_filters.end(),
                               [&](const Entry& entry) { return entry.name == name; });
        if (it == m_filters.end()) {
            *filter = nullptr;
            return VFW_E_NOT_FOUND;
        }
        return it->filter.CopyTo(filter);
    }

    HRESULT Disconnect(IPin* pin) override {
        if (pin == nullptr) {
            return E_POINTER;
        }
        std::lock_guard lock(m_mutex);
        return pin->Disconnect();
    }

    HRESULT Connect(IPin* outputPin, IPin* inputPin) override {
        if (outputPin == nullptr || inputPin == nullptr) {
            return E_POINTER;
        }
        std::lock_guard lock(m_mutex);
        if (!InGraph(outputPin) || !InGraph(inputPin)) {
            return VFW_E_NOT_IN_GRAPH;
        }
        return outputPin->Connect(inputPin, nullptr);
    }

    HRESULT Run() override { return Run(0); }

    HRESULT Pause() override {
        std::lock_guard lock(m_mutex);
        return ChangeStateLocked(State_Paused, 0);
    }

    HRESULT Stop() override {
        std::lock_guard lock(m_mutex);
        return ChangeStateLocked(State_Stopped, 0);
    }

    HRESULT GetState(LONG timeoutMs, OAFilterState* state) override {
        if (state == nullptr) {
            return E_POINTER;
        }
        FILTER_STATE filterState = State_Stopped;
        HRESULT hr = GetState(static_cast<DWORD>(timeoutMs), &filterState);
        *state = filterState;
        return hr;
    }

    HRESULT GetClassID(CLSID* clsid) override {
        if (clsid == nullptr) {
            return E_POINTER;
        }
        *clsid = CLSID_FilterGraph;
        return S_OK;
    }

    HRESULT Run(REFERENCE_TIME start) override {
        std::lock_guard lock(m_mutex);
        return ChangeStateLocked(State_Running, start);
    }

    HRESULT GetState(DWORD timeoutMs, FILTER_STATE* state) override {
        if (state == nullptr) {
            return E_POINTER;
        }
        std::vector<ComPtr<IBaseFilter>> filters;
        {
            std::lock_guard lock(m_mutex);
            *state = m_state;
            for (const Entry& entry : m_filters) {
                filters.push_back(entry.filter);
            }
        }
        HRESULT result = S_OK;
        for (const auto& filter : filters) {
            FILTER_STATE filterState = State_Stopped;
            HRESULT hr = filter->GetState(timeoutMs, &filterState);
            if (FAILED(hr)) {
                return hr;
            }
            if (hr == VFW_S_STATE_INTERMEDIATE) {
                result = hr;
            } else if (hr == VFW_S_CANT_CUE && result == S_OK) {
                result = hr;
            }
        }
        return result;
    }

    HRESULT put_Visible(long visible) override {
        if (visible != OATRUE && visible != OAFALSE) {
            return E_INVALIDARG;
        }
        m_visible.store(visible);
        return S_OK;
    }
    HRESULT get_Visible(long* visible) override { return Read(m_visible, visible); }
    HRESULT put_Owner(OAHWND) override { return S_OK; }

    HRESULT put_Volume(long volume) override {
        if (volume < kMinVolume || volume > kMaxVolume) {
            return E_INVALIDARG;
        }
        m_volume.store(volume);
        return S_OK;
    }
    HRESULT get_Volume(long* volume) override { return Read(m_volume, volume); }

  private:
    struct Entry {
        ComPtr<IBaseFilter> filter;
        std::u16string name;
    };

    template <typename T>
    static HRESULT Read(const std::atomic<T>& value, T* out) {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = value.load();
        return S_OK;
    }

    std::vector<Entry>::iterator Find(IBaseFilter* filter) {
        return std::find_if(m_filters.begin(), m_filters.end(),
                            [&](const Entry& entry) { return entry.filter.Get() == filter; });
    }

    bool InGraph(IPin* pin) {
        ComPtr<IBaseFilter> filter = FilterOfPin(pin);
        return filter && Find(filter.Get()) != m_filters.end();
    }

    // Breaks every connection of a filter leaving the graph and tells it.
    void Detach(IBaseFilter* filter) {
        filter->Stop();
        for (const auto& pin : PinsOf(filter)) {
            ComPtr<IPin> peer;
            if (SUCCEEDED(pin->ConnectedTo(peer.GetAddressOf())) && peer) {
                peer->Disconnect();
                pin->Disconnect();
            }
        }
        filter->JoinFilterGraph(nullptr, nullptr);
    }

    // Filters ordered so that each comes after every filter its output pins
    // feed, so data never arrives at a filter that has not changed state yet.
    std::vector<IBaseFilter*> DownstreamFirst() {
        std::vector<IBaseFilter*> ordered;
        std::vector<bool> visited(m_filters.size(), false);
        auto visit = [&](auto& self, std::size_t index) -> void {
            if (visited[index]) {
                return;
            }
            visited[index] = true;
            for (const auto& pin : PinsOf(m_filters[index].filter.Get())) {
                PIN_DIRECTION direction = PINDIR_INPUT;
                ComPtr<IPin> peer;
                if (FAILED(pin->QueryDirection(&direction)) || direction != PINDIR_OUTPUT ||
                    FAILED(pin->ConnectedTo(peer.GetAddressOf())) || !peer) {
                    continue;
                }
                auto downstream = Find(FilterOfPin(peer.Get()).Get());
                if (downstream != m_filters.end()) {
                    self(self, static_cast<std::size_t>(downstream - m_filters.begin()));
                }
            }
            ordered.push_back(m_filters[index].filter.Get());
        };
        for (std::size_t i = 0; i < m_filters.size(); ++i) {
            visit(visit, i);
        }
        return ordered;
    }

    HRESULT ApplyState(const std::vector<IBaseFilter*>& filters, FILTER_STATE state,
                       REFERENCE_TIME start) {
        HRESULT result = S_OK;
        for (IBaseFilter* filter : filters) {
            HRESULT hr = state == State_Stopped  ? filter->Stop()
                         : state == State_Paused ? filter->Pause()
                                                 : filter->Run(start);
            if (FAILED(hr) && SUCCEEDED(result)) {
                result = hr;
            } else if (hr == S_FALSE && result == S_OK) {
                result = S_FALSE;
            }
        }
        return result;
    }

    HRESULT ChangeStateLocked(FILTER_STATE target, REFERENCE_TIME start) {
        std::vector<IBaseFilter*> filters = DownstreamFirst();
        HRESULT result = S_OK;
        auto step = [&](FILTER_STATE state) {
            HRESULT hr = ApplyState(filters, state, start);
            if (FAILED(hr) || (hr == S_FALSE && result == S_OK)) {
                result = hr;
            }
            m_state = state;
        };
        bool passesThroughPaused = (target == State_Running && m_state == State_Stopped) ||
                                   (target == State_Stopped && m_state == State_Running);
        if (passesThroughPaused) {
            step(State_Paused);
        }
        if (SUCCEEDED(result) || target == State_Stopped) {
            step(target);
        }
        if (FAILED(result) && target != State_Stopped) {
            ApplyState(filters, State_Stopped, 0);
            m_state = State_Stopped;
        }
        return result;
    }

    std::recursive_mutex m_mutex;
    std::vector<Entry> m_filters;
    std::atomic<long> m_visible{OAFALSE};
    std::atomic<long> m_volume{kMaxVolume};
    FILTER_STATE m_state = State_Stopped;
};

}  // namespace

HRESULT CreateFilterGraph(REFIID iid, void** object) {
    return CreateComInstance<FilterGraph>(iid, object);
}

}  // namespace platform
