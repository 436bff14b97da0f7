// What an incoming bus call or broadcast may become, decided from the message
// alone.
//
// The bus thread's filter and method handlers (bus_window_objects.cpp) are
// thin wrappers around these functions: they answer refusals and deliver what
// is accepted. Nothing here replies, sends or touches a window, so every rule
// about what another process may make a window receive can be exercised on a
// message that never travelled over a bus.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "platform/types.h"
#include "platform/window_transport.h"

namespace platform {

// A D-Bus error name and the reason given to the caller and the log.
struct BusRefusal {
    const char* errorName = nullptr;
    std::string reason;
};

// The filter's verdict on a message before sd-bus dispatches it: a refusal for
// calls to unknown paths, interfaces or methods of ours, window or title
// objects for which `windowAt` finds no served window, and argument
// signatures other than the method's.
// Nothing for everything else (signals, replies, the standard
// org.freedesktop.DBus.* interfaces), which sd-bus handles.
std::optional<BusRefusal> CheckIncomingCall(sd_bus_message* message,
                                            const std::function<HWND(const char*)>& windowAt);

// The arguments of Send, SendCopyData and Post, read from a sealed message,
// as the message (its window left null for the caller, who knows what the
// object path stands for), or a refusal: unreadable arguments,
// sends flagged as expecting no reply, messages carrying pointers, WM_QUIT,
// messages kept in process, WM_COPYDATA outside SendCopyData, copy data
// above kMaxCopyDataBytes or not matching its byte count.
using IncomingMessage = std::variant<BusRefusal, InboundSend>;
IncomingMessage ReadSendCall(sd_bus_message* message);
IncomingMessage ReadSendCopyDataCall(sd_bus_message* message);
IncomingMessage ReadPostCall(sd_bus_message* message);

// A Broadcast signal from another process: the message to post to every local
// top-level window (its window left null), or why it is ignored.
IncomingMessage ReadBroadcast(sd_bus_message* message);

struct FindArguments {
    std::u16string title;
    std::u16string className;
};
std::variant<BusRefusal, FindArguments> ReadFindCall(sd_bus_message* message);

}  // namespace platform
