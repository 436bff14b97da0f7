#include "platform/bus_window_calls.h"

#include <fmt/format.h>

#include <cstdint>
#include <string_view>

#include "platform/bus_names.h"
#include "platform/text.h"
#include "platform/window_messages.h"

namespace platform {
namespace {

constexpr char kErrorUnknownObject[] = "org.freedesktop.DBus.Error.UnknownObject";
constexpr char kErrorUnknownMethod[] = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr char kErrorInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr char kErrorLimitsExceeded[] = "org.freedesktop.DBus.Error.LimitsExceeded";

const char* ExpectedWindowSignature(std::string_view member) {
    if (member == "Send" || member == "Post") {
        return "utx";
    }
    if (member == "SendCopyData") {
        return "ttuay";
    }
    return nullptr;
}

BusRefusal Unreadable() {
    return {kErrorInvalidArgs, "unreadable arguments"};
}

// The bus daemon bounds the replies a caller may wait for, not the calls it
// makes without waiting: sends nobody waits for could only pile up here.
bool ExpectsNoReply(sd_bus_message* message) {
    return sd_bus_message_get_expect_reply(message) == 0;
}

BusRefusal SendWithoutReply() {
    return {kErrorInvalidArgs, "a send that expects no reply (a post is Post)"};
}

BusRefusal CarriesPointers(UINT number) {
    return {kErrorInvalidArgs,
            fmt::format("message 0x{:X} carries pointers and cannot cross processes", number)};
}

// Send, Post and Broadcast share one argument list. The signature is checked
// here as well as in the filter: sd-bus would read a "utxs" call's first three
// arguments without complaint, and a broadcast passes no filter.
IncomingMessage ReadPlainMessage(sd_bus_message* message, bool sent) {
    std::uint32_t number = 0;
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;
    if (!sd_bus_message_has_signature(message, "utx") ||
        sd_bus_message_read(message, "utx", &number, &wParam, &lParam) < 0) {
        return Unreadable();
    }
    if (sent && number == WM_COPYDATA) {
        return BusRefusal{kErrorInvalidArgs, "WM_COPYDATA goes through SendCopyData"};
    }
    if (!MayCrossProcesses(number)) {
        return CarriesPointers(number);
    }
    // A thread ends its own loop (PostQuitMessage); from outside, WM_QUIT
    // would end a program without its shutdown sequence.
    if (number == WM_QUIT) {
        return BusRefusal{kErrorInvalidArgs, "WM_QUIT is not accepted from another process"};
    }
    if (IsKeptInProcess(number)) {
        return BusRefusal{kErrorInvalidArgs,
                          fmt::format("message 0x{:X} is sent only within this process", number)};
    }
    return InboundSend{nullptr, number, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam),
                       0,       {}};
}

}  // namespace

std::optional<BusRefusal> CheckIncomingCall(sd_bus_message* message,
                                            const std::function<HWND(const char*)>& windowAt) {
    std::uint8_t type = 0;
    if (sd_bus_message_get_type(message, &type) < 0 || type != SD_BUS_MESSAGE_METHOD_CALL) {
        return std::nullopt;
    }
    const char* pathText = sd_bus_message_get_path(message);
    const char* memberText = sd_bus_message_get_member(message);
    const char* interfaceText = sd_bus_message_get_interface(message);
    if (pathText == nullptr || memberText == nullptr) {
        return std::nullopt;
    }
    std::string_view interface = interfaceText != nullptr ? interfaceText : "";
    if (interface.starts_with("org.freedesktop.DBus.")) {
        return std::nullopt;
    }
    std::string_view path = pathText;
    std::string_view member = memberText;
    const char* expected = nullptr;
    if (ParseWindowObjectPath(path) || ParseTitleObjectPath(path)) {
        if (windowAt(pathText) == nullptr) {
            return BusRefusal{kErrorUnknownObject, "no such window"};
        }
        if (!interface.empty() && interface != kWindowInterface) {
            return BusRefusal{kErrorUnknownMethod, "unknown interface"};
        }
        expected = ExpectedWindowSignature(member);
    } else if (path == kWindowsPath) {
        if (!interface.empty() && interface != kWindowsInterface) {
            return BusRefusal{kErrorUnknownMethod, "unknown interface"};
        }
        expected = member == "Find" ? "ss" : nullptr;
    } else {
        return BusRefusal{kErrorUnknownObject, "unknown object path"};
    }
    if (expected == nullptr) {
        return BusRefusal{kErrorUnknownMethod, "unknown method"};
    }
    if (!sd_bus_message_has_signature(message, expected)) {
        const char* actual = sd_bus_message_get_signature(message, 1);
        return BusRefusal{kErrorInvalidArgs,
                          fmt::format("arguments '{}' where '{}' are expected",
                                      actual != nullptr ? actual : "", expected)};
    }
    return std::nullopt;
}

IncomingMessage ReadSendCall(sd_bus_message* message) {
    if (ExpectsNoReply(message)) {
        return SendWithoutReply();
    }
    return ReadPlainMessage(message, true);
}

IncomingMessage ReadPostCall(sd_bus_message* message) {
    return ReadPlainMessage(message, false);
}

IncomingMessage ReadBroadcast(sd_bus_message* message) {
    return ReadPlainMessage(message, false);
}

IncomingMessage ReadSendCopyDataCall(sd_bus_message* message) {
    std::uint64_t wParam = 0;
    std::uint64_t kind = 0;
    std::uint32_t byteCount = 0;
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (ExpectsNoReply(message)) {
        return SendWithoutReply();
    }
    if (!sd_bus_message_has_signature(message, "ttuay") ||
        sd_bus_message_read(message, "ttu", &wParam, &kind, &byteCount) < 0 ||
        sd_bus_message_read_array(message, 'y', &bytes, &size) < 0) {
        return Unreadable();
    }
    if (size > kMaxCopyDataBytes) {
        return BusRefusal{
            kErrorLimitsExceeded,
            fmt::format("{} bytes of copy data; at most {} are accepted", size, kMaxCopyDataBytes)};
    }
    if (size != byteCount) {
        return BusRefusal{kErrorInvalidArgs,
                          fmt::format("byte count {} but {} bytes sent", byteCount, size)};
    }
    InboundSend inbound{
        nullptr, WM_COPYDATA, static_cast<WPARAM>(wParam), 0, static_cast<ULONG_PTR>(kind), {}};
    // An empty array may come with no buffer at all.
    if (size > 0) {
        const auto* first = static_cast<const BYTE*>(bytes);
        inbound.copyData.assign(first, first + size);
    }
    return inbound;
}

std::variant<BusRefusal, FindArguments> ReadFindCall(sd_bus_message* message) {
    const char* titleText = nullptr;
    const char* classText = nullptr;
    if (!sd_bus_message_has_signature(message, "ss") ||
        sd_bus_message_read(message, "ss", &titleText, &classText) < 0) {
        return Unreadable();
    }
    return FindArguments{FromUtf8(titleText), FromUtf8(classText)};
}

}  // namespace platform
