// Media filter graph interfaces, types and identifiers.
//
// The interfaces keep their documented method order. The automation
// interfaces (IMediaControl, IVideoWindow, IBasicAudio) derive from IDispatch
// where they are documented; there is no scripting host here, so they derive
// from IUnknown directly and carry only the members this system uses, in
// their documented relative order. Every module is built from this header,
// so the shorter vtables agree everywhere.
#pragma once

#include <cstdint>

#include "platform/guid.h"
#include "platform/hresult.h"
#include "platform/types.h"
#include "platform/unknown.h"

namespace platform {

using REFERENCE_TIME = std::int64_t;
using OAFilterState = LONG;
using OAHWND = LONG_PTR;
inline constexpr long OATRUE = -1;
inline constexpr long OAFALSE = 0;

enum FILTER_STATE : int { State_Stopped = 0, State_Paused = 1, State_Running = 2 };
enum PIN_DIRECTION : int { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

inline constexpr std::size_t MAX_PIN_NAME = 128;
inline constexpr std::size_t MAX_FILTER_NAME = 128;

struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
};

class IBaseFilter;
class IFilterGraph;
class IPin;

// pFilter carries a reference the caller releases.
struct PIN_INFO {
    IBaseFilter* pFilter;
    PIN_DIRECTION dir;
    WCHAR achName[MAX_PIN_NAME];
};

// pGraph carries a reference the caller releases (null outside a graph).
struct FILTER_INFO {
    WCHAR achName[MAX_FILTER_NAME];
    IFilterGraph* pGraph;
};

inline constexpr IID IID_IPersist{
    0x0000010C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IPin{
    0x56A86891, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IEnumPins{
    0x56A86892, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IEnumFilters{
    0x56A86893, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IBaseFilter{
    0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IReferenceClock{
    0x56A86897, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IMediaFilter{
    0x56A86899, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IFilterGraph{
    0x56A8689F, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IGraphBuilder{
    0x56A868A9, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IMediaControl{
    0x56A868B1, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IBasicAudio{
    0x56A868B3, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IVideoWindow{
    0x56A868B4, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IEnumMediaTypes{
    0x89C31040, 0x846B, 0x11CE, {0x97, 0xD3, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

inline constexpr CLSID CLSID_FilterGraph{
    0xE436EBB3, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};

class IPersist : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IPersist;
    using InterfaceBase = IUnknown;

    virtual HRESULT GetClassID(CLSID* clsid) = 0;

  protected:
    ~IPersist() = default;
};

// No clock exists on this platform; the interface is declared so that
// SetSyncSource/GetSyncSource keep their documented shape.
class IReferenceClock : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IReferenceClock;
    using InterfaceBase = IUnknown;

    virtual HRESULT GetTime(REFERENCE_TIME* time) = 0;
    virtual HRESULT AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HANDLE event,
                               DWORD_PTR* cookie) = 0;
    virtual HRESULT AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime,
                                   HANDLE semaphore, DWORD_PTR* cookie) = 0;
    virtual HRESULT Unadvise(DWORD_PTR cookie) = 0;

  protected:
    ~IReferenceClock() = default;
};

class IEnumMediaTypes : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IEnumMediaTypes;
    using InterfaceBase = IUnknown;

    virtual HRESULT Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumMediaTypes** clone) = 0;

  protected:
    ~IEnumMediaTypes() = default;
};

class IPin : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IPin;
    using InterfaceBase = IUnknown;

    virtual HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* mediaType) = 0;
    virtual HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mediaType) = 0;
    virtual HRESULT Disconnect() = 0;
    virtual HRESULT ConnectedTo(IPin** pin) = 0;
    virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* mediaType) = 0;
    virtual HRESULT QueryPinInfo(PIN_INFO* info) = 0;
    virtual HRESULT QueryDirection(PIN_DIRECTION* direction) = 0;
    virtual HRESULT QueryId(LPWSTR* id) = 0;
    virtual HRESULT QueryAccept(const AM_MEDIA_TYPE* mediaType) = 0;
    virtual HRESULT EnumMediaTypes(IEnumMediaTypes** types) = 0;
    virtual HRESULT QueryInternalConnections(IPin** pins, ULONG* count) = 0;
    virtual HRESULT EndOfStream() = 0;
    virtual HRESULT BeginFlush() = 0;
    virtual HRESULT EndFlush() = 0;
    virtual HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) = 0;

  protected:
    ~IPin() = default;
};

class IEnumPins : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IEnumPins;
    using InterfaceBase = IUnknown;

    virtual HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumPins** clone) = 0;

  protected:
    ~IEnumPins() = default;
};

class IMediaFilter : public IPersist {
  public:
    static constexpr const IID& kIid = IID_IMediaFilter;
    using InterfaceBase = IPersist;

    virtual HRESULT Stop() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Run(REFERENCE_TIME start) = 0;
    virtual HRESULT GetState(DWORD timeoutMs, FILTER_STATE* state) = 0;
    virtual HRESULT SetSyncSource(IReferenceClock* clock) = 0;
    virtual HRESULT GetSyncSource(IReferenceClock** clock) = 0;

  protected:
    ~IMediaFilter() = default;
};

class IBaseFilter : public IMediaFilter {
  public:
    static constexpr const IID& kIid = IID_IBaseFilter;
    using InterfaceBase = IMediaFilter;

    virtual HRESULT EnumPins(IEnumPins** pins) = 0;
    virtual HRESULT FindPin(LPCWSTR id, IPin** pin) = 0;
    virtual HRESULT QueryFilterInfo(FILTER_INFO* info) = 0;
    // The graph calls this with itself on AddFilter and with null on
    // RemoveFilter. A filter must not hold a reference to the graph: the
    // graph holds one to the filter.
    virtual HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) = 0;
    virtual HRESULT QueryVendorInfo(LPWSTR* vendorInfo) = 0;

  protected:
    ~IBaseFilter() = default;
};

class IEnumFilters : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IEnumFilters;
    using InterfaceBase = IUnknown;

    virtual HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumFilters** clone) = 0;

  protected:
    ~IEnumFilters() = default;
};

class IFilterGraph : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IFilterGraph;
    using InterfaceBase = IUnknown;

    virtual HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) = 0;
    virtual HRESULT RemoveFilter(IBaseFilter* filter) = 0;
    virtual HRESULT EnumFilters(IEnumFilters** filters) = 0;
    virtual HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** filter) = 0;
    virtual HRESULT ConnectDirect(IPin* outputPin, IPin* inputPin,
                                  const AM_MEDIA_TYPE* mediaType) = 0;
    virtual HRESULT Reconnect(IPin* pin) = 0;
    virtual HRESULT Disconnect(IPin* pin) = 0;
    virtual HRESULT SetDefaultSyncSource() = 0;

  protected:
    ~IFilterGraph() = default;
};

class IGraphBuilder : public IFilterGraph {
  public:
    static constexpr const IID& kIid = IID_IGraphBuilder;
    using InterfaceBase = IFilterGraph;

    virtual HRESULT Connect(IPin* outputPin, IPin* inputPin) = 0;
    virtual HRESULT Render(IPin* outputPin) = 0;
    virtual HRESULT RenderFile(LPCWSTR file, LPCWSTR playList) = 0;
    virtual HRESULT AddSourceFilter(LPCWSTR file, LPCWSTR filterName, IBaseFilter** filter) = 0;
    virtual HRESULT SetLogFile(DWORD_PTR file) = 0;
    virtual HRESULT Abort() = 0;
    virtual HRESULT ShouldOperationContinue() = 0;

  protected:
    ~IGraphBuilder() = default;
};

// Of the documented members, RenderFile, AddSourceFilter and the two
// collection properties need automation types and are left out.
class IMediaControl : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IMediaControl;
    using InterfaceBase = IUnknown;

    virtual HRESULT Run() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT GetState(LONG timeoutMs, OAFilterState* state) = 0;
    virtual HRESULT StopWhenReady() = 0;

  protected:
    ~IMediaControl() = default;
};

// Only visibility and owner: there is no screen to place a video window on,
// so position, style and caption members are left out.
class IVideoWindow : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IVideoWindow;
    using InterfaceBase = IUnknown;

    virtual HRESULT put_Visible(long visible) = 0;
    virtual HRESULT get_Visible(long* visible) = 0;
    virtual HRESULT put_Owner(OAHWND owner) = 0;
    virtual HRESULT get_Owner(OAHWND* owner) = 0;

  protected:
    ~IVideoWindow() = default;
};

// Volume in hundredths of a decibel, -10000 (silence) to 0 (full); balance
// -10000 (left) to 10000 (right).
class IBasicAudio : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IBasicAudio;
    using InterfaceBase = IUnknown;

    virtual HRESULT put_Volume(long volume) = 0;
    virtual HRESULT get_Volume(long* volume) = 0;
    virtual HRESULT put_Balance(long balance) = 0;
    virtual HRESULT get_Balance(long* balance) = 0;

  protected:
    ~IBasicAudio() = default;
};

}  // namespace platform
