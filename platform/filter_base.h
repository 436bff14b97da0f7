// A base for filters and their pins.
//
// FilterBase implements IBaseFilter: class identifier, state and the pin
// list. Derived filters create their
// pins in their constructor with AddPin and react to state changes in the
// OnPause/OnRun/OnStop hooks. State changes are serialised by a lock of their
// own, not by the filter's critical section, so a streaming thread may take
// the critical section while a hook waits for that thread to end.
//
// Transitions always pass through Paused: Run on a stopped filter pauses it
// first (OnPause, then OnRun), and OnPause sees where it came from. A failing
// OnPause or OnRun leaves the state as it was; Stop always ends Stopped and
// reports OnStop's failure, if any.
//
// Pins are owned by their filter and share its lifetime: a pin's AddRef and
// Release are the filter's, so a reference to a pin keeps the whole filter
// alive. The filter does not remember its graph (the graph holds a reference
// to the filter). A connected pin holds a reference to its peer until
// Disconnect; the graph disconnects a filter's pins when it is removed.
//
// A filter with private interfaces derives from them as well, overrides
// FindInterface to return them, and forwards QueryInterface, AddRef and
// Release to FilterBase, so that every interface shares one count.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/com_ptr.h"
#include "platform/dshow.h"
#include "platform/kernel.h"

namespace platform {

class FilterBase;

class PinBase : public IPin {
  public:
    PinBase(FilterBase& filter, PIN_DIRECTION direction, std::u16string name);
    virtual ~PinBase() = default;
    PinBase(const PinBase&) = delete;
    PinBase& operator=(const PinBase&) = delete;

    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // Called on an output pin; the media type is not looked at. Fails with
    // VFW_E_ALREADY_CONNECTED, VFW_E_NOT_STOPPED, VFW_E_INVALID_DIRECTION,
    // or what CheckConnect or the receiving pin returned.
    HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* mediaType) override;
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mediaType) override;
    // This side only: S_FALSE when not connected, VFW_E_NOT_STOPPED while the
    // filter is active.
    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** pin) override;
    HRESULT QueryPinInfo(PIN_INFO* info) override;
    HRESULT QueryDirection(PIN_DIRECTION* direction) override;

    const std::u16string& Name() const { return m_name; }
    // The peer, with a reference; null when not connected.
    ComPtr<IPin> ConnectedPin() const;

  protected:
    // Whether a connection to `peer` may be made; the default refuses a peer
    // of the same direction. Called with the filter's critical section held.
    virtual HRESULT CheckConnect(IPin* peer);

  private:
    // Both checks a side makes before it takes a peer.
    HRESULT CanConnect(IPin* peer);

    FilterBase& m_filter;
    const PIN_DIRECTION m_direction;
    const std::u16string m_name;
    ComPtr<IPin> m_connected;
};

class FilterBase : public ComObject<IBaseFilter> {
  public:
    HRESULT GetClassID(CLSID* clsid) override;

    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT GetState(DWORD timeoutMs, FILTER_STATE* state) override;

    HRESULT EnumPins(IEnumPins** pins) override;
    HRESULT FindPin(LPCWSTR id, IPin** pin) override;
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;

    FILTER_STATE State() const { return m_state.load(std::memory_order_acquire); }
    // Guards the filter's and its pins' data; recursive.
    CRITICAL_SECTION& FilterLock() { return m_lock; }
    PinBase* PinAt(std::size_t index) const;

  protected:
    explicit FilterBase(REFCLSID clsid);
    ~FilterBase() override;

    // Takes ownership of a pin created for this filter; returns it.
    PinBase* AddPin(std::unique_ptr<PinBase> pin);

    virtual HRESULT OnPause(FILTER_STATE from);
    virtual HRESULT OnRun(REFERENCE_TIME start);
    virtual HRESULT OnStop();

  private:
    HRESULT PauseLocked();

    const CLSID m_clsid;
    mutable CRITICAL_SECTION m_lock;
    std::mutex m_stateChange;
    std::atomic<FILTER_STATE> m_state{State_Stopped};
    std::vector<std::unique_ptr<PinBase>> m_pins;
};

}  // namespace platform
