// The filter graph manager, class CLSID_FilterGraph, always available through
// CoCreateInstance without any registry entry.
//
// It offers IGraphBuilder (and IFilterGraph), IMediaControl, IMediaFilter
// (and IPersist), IVideoWindow and IBasicAudio on one object.
//
// Building: AddFilter holds a reference to the filter and joins it to the
// graph under the name given; FindFilterByName finds the first filter added
// under exactly that name. RemoveFilter stops the filter if the graph is active, disconnects
// both ends of each of its connections, calls JoinFilterGraph(null) and
// releases it. Connect connects two pins directly, as no intermediate filters
// exist here, after checking both filters are in the graph
// (VFW_E_NOT_IN_GRAPH), and returns exactly what the output pin's Connect
// returned. Disconnect(pin) disconnects that one side.
//
// Control: every state change reaches every filter, downstream filters
// before the filters feeding them, and passes through Paused: Run from
// Stopped pauses every filter and then runs every filter; Stop from Running
// pauses every filter and then stops every filter. A failed Run or Pause
// stops the graph and returns the first failure; Stop always reaches every
// filter. S_FALSE from a filter (still changing state) makes the call return
// S_FALSE. GetState gives each filter the whole time-out and returns
// VFW_S_STATE_INTERMEDIATE if any is still changing state. There is no
// reference clock: filters run with start time 0. The graph must not be
// called from a filter's streaming thread while it stops that thread.
//
// The video window has no screen: visibility (initially OAFALSE, else
// E_INVALIDARG) is stored and read back, the owner accepted. The audio volume
// (-10000..0, initially 0, else E_INVALIDARG) is stored and read back.
//
// Releasing the last reference stops the graph and removes every filter.
#pragma once

#include "platform/dshow.h"

namespace platform {

// A new filter graph manager, as CoCreateInstance(CLSID_FilterGraph) makes.
HRESULT CreateFilterGraph(REFIID iid, void** object);

}  // namespace platform
