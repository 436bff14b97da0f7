// Media filter graph interfaces, types and identifiers.
//
// Every interface carries only the members this system calls, in their
// documented relative order; the automation interfaces (IMediaControl,
// IVideoWindow, IBasicAudio) derive from IUnknown directly, as there is no
// scripting host. Every module is built from this header, so the shorter
// vtables agree everywhere. Connections carry no media type: every pin here
// takes any peer of the other direction, so AM_MEDIA_TYPE stays opaque.
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

struct AM_MEDIA_TYPE;

class IBaseFilter;
class IFilterGraph;
class IPin;

// pFilter carries a reference the caller releases.
struct PIN_INFO {
    IBaseFilter* pFilter;
    PIN_DIRECTION dir;
    WCHAR achName[MAX_PIN_NAME];
};

inline constexpr IID IID_IPersist{
    0x0000010C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IPin{
    0x56A86891, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IEnumPins{
    0x56A86892, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr IID IID_IBaseFilter{
    0x56A86895, 0x0AD4, 0x11CE, {0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
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

class IPin : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IPin;
    using InterfaceBase = IUnknown;

    virtual HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* mediaType) = 0;
    virtual HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mediaType) = 0;
    virtual HRESULT Disconnect() = 0;
    virtual HRESULT ConnectedTo(IPin** pin) = 0;
    virtual HRESULT QueryPinInfo(PIN_INFO* info) = 0;
    virtual HRESULT QueryDirection(PIN_DIRECTION* direction) = 0;

  protected:
    ~IPin() = default;
};

class IEnumPins : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IEnumPins;
    using InterfaceBase = IUnknown;

    virtual HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) = 0;
    virtual HRESULT Reset() = 0;

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

  protected:
    ~IMediaFilter() = default;
};

class IBaseFilter : public IMediaFilter {
  public:
    static constexpr const IID& kIid = IID_IBaseFilter;
    using InterfaceBase = IMediaFilter;

    virtual HRESULT EnumPins(IEnumPins** pins) = 0;
    virtual HRESULT FindPin(LPCWSTR id, IPin** pin) = 0;
    // The graph calls this with itself on AddFilter and with null on
    // RemoveFilter. A filter must not hold a reference to the graph: the
    // graph holds one to the filter.
    virtual HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) = 0;

  protected:
    ~IBaseFilter() = default;
};

class IFilterGraph : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IFilterGraph;
    using InterfaceBase = IUnknown;

    virtual HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) = 0;
    virtual HRESULT RemoveFilter(IBaseFilter* filter) = 0;
    virtual HRESULT FindFilterByName(LPCWSTR name, IBaseFilter** filter) = 0;
    virtual HRESULT Disconnect(IPin* pin) = 0;

  protected:
    ~IFilterGraph() = default;
};

class IGraphBuilder : public IFilterGraph {
  public:
    static constexpr const IID& kIid = IID_IGraphBuilder;
    using InterfaceBase = IFilterGraph;

    virtual HRESULT Connect(IPin* outputPin, IPin* inputPin) = 0;

  protected:
    ~IGraphBuilder() = default;
};

class IMediaControl : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IMediaControl;
    using InterfaceBase = IUnknown;

    virtual HRESULT Run() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT GetState(LONG timeoutMs, OAFilterState* state) = 0;

  protected:
    ~IMediaControl() = default;
};

// There is no screen to place a video window on.
class IVideoWindow : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IVideoWindow;
    using InterfaceBase = IUnknown;

    virtual HRESULT put_Visible(long visible) = 0;
    virtual HRESULT get_Visible(long* visible) = 0;
    virtual HRESULT put_Owner(OAHWND owner) = 0;

  protected:
    ~IVideoWindow() = default;
};

// Volume in hundredths of a decibel, -10000 (silence) to 0 (full).
class IBasicAudio : public IUnknown {
  public:
    static constexpr const IID& kIid = IID_IBasicAudio;
    using InterfaceBase = IUnknown;

    virtual HRESULT put_Volume(long volume) = 0;
    virtual HRESULT get_Volume(long* volume) = 0;

  protected:
    ~IBasicAudio() = default;
};

}  // namespace platform
