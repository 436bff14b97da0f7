// libFuzzer target: a call or broadcast from another process on the bus, built from the input as
// an sd-bus message (object path, interface, member and typed arguments all chosen by the input),
// through the call filter and the argument readers the bus thread uses, and whatever they accept
// delivered to a window of this process whose procedure records what arrives.
//
// What the filter and readers let through is compared with rules written out here independently:
// only Send, Post and SendCopyData on a served window, Find on the root and Broadcast signals
// are accepted, only with their exact signatures, only messages without pointers and never
// WM_QUIT, and only copy data of at most kMaxCopyDataBytes whose count matches; anything else
// never reaches the window.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/quiet_log.h"
#include "platform/bus_names.h"
#include "platform/bus_window_calls.h"
#include "platform/log.h"
#include "platform/message_queue.h"
#include "platform/window.h"
#include "platform/window_transport.h"

namespace {

using namespace platform;

struct Received {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool copyData = false;
    ULONG_PTR kind = 0;
    std::vector<BYTE> bytes;
};

constexpr LRESULT kAnswer = 0x5EED;

class RecordingWindow : public Window {
  public:
    std::vector<Received> received;
    bool recording = false;

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (!recording) {
            return DefWindowProc(message, wParam, lParam);
        }
        Received r{message, wParam, lParam, false, 0, {}};
        if (message == WM_COPYDATA) {
            const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (record == nullptr || (record->cbData > 0 && record->lpData == nullptr) ||
                record->cbData > kMaxCopyDataBytes) {
                __builtin_trap();
            }
            r.copyData = true;
            r.kind = record->dwData;
            const auto* first = static_cast<const BYTE*>(record->lpData);
            r.bytes.assign(first, first + record->cbData);
        }
        received.push_back(std::move(r));
        // Never DefWindowProc: a WM_CLOSE from outside must not end the window under test.
        return kAnswer;
    }
};

// Messages may only be created on a bus that has been started; one end of a socket pair that
// nobody answers is enough, and nothing is ever sent on it.
sd_bus* StartedBus() {
    static sd_bus* bus = [] {
        int fds[2];
        sd_bus* created = nullptr;
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) < 0 ||
            sd_bus_new(&created) < 0 || sd_bus_set_fd(created, fds[0], fds[0]) < 0 ||
            sd_bus_start(created) < 0) {
            std::abort();
        }
        return created;
    }();
    return bus;
}

RecordingWindow& Target() {
    static RecordingWindow* window = [] {
        auto* created = new RecordingWindow;
        if (created->Create(u"FuzzTarget", u"Target", WS_OVERLAPPED, 0, 0, 10, 10) == nullptr) {
            std::abort();
        }
        created->recording = true;
        return created;
    }();
    return *window;
}

struct Sequence {
    sd_bus_message* message = nullptr;
    ~Sequence() { sd_bus_message_unref(message); }
};

// What the input chose, kept to judge the verdicts by.
struct Built {
    bool signal = false;
    std::string path;
    std::optional<std::string> interface;
    std::string member;
    std::string signature;
    std::uint32_t number = 0;
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;
    std::uint64_t kind = 0;
    std::uint32_t byteCount = 0;
    std::vector<BYTE> bytes;
};

// Not a call to the library's own rule: the list of messages without pointers as the bus
// documentation gives it, less WM_QUIT (0x0012), which only a thread itself may post.
bool MayCross(std::uint32_t number) {
    return number == 0x0000 || number == 0x0010 || number == 0x0111 ||
           (number >= 0x0400 && number <= 0xFFFF);
}

// sd-bus takes terminated strings, so a name ends at its first NUL.
std::string Name(FuzzedDataProvider& in, std::size_t maxLength) {
    std::string text = in.ConsumeRandomLengthString(maxLength);
    text.resize(std::string_view(text.c_str()).size());
    return text;
}

std::string PickPath(FuzzedDataProvider& in, HWND served) {
    const std::string window = WindowObjectPath(served);
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
            return window;
        case 1:
            return WindowObjectPath(
                reinterpret_cast<HWND>(reinterpret_cast<std::uintptr_t>(served) + 1));
        case 2:
            return kWindowsPath;
        case 3:
            return std::string(kWindowsPath) + "/w0" + window.substr(window.rfind('w') + 1);
        case 4:
            return "/org/dmbtpeg/windows/w";
        case 5:
            return "/";
        case 6:
            return std::string(kWindowsPath) + "/w" + Name(in, 20);
        default:
            return "/" + Name(in, 40);
    }
}

std::optional<std::string> PickInterface(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
            return std::nullopt;
        case 1:
            return std::string(kWindowInterface);
        case 2:
            return std::string(kWindowsInterface);
        case 3:
            return std::string("org.freedesktop.DBus.Properties");
        case 4:
            return std::string("org.dmbtpeg.Window2");
        default:
            return Name(in, 40);
    }
}

std::string PickMember(FuzzedDataProvider& in) {
    static constexpr const char* kMembers[] = {"Send",      "SendCopyData", "Post", "Find",
                                               "Broadcast", "Get",          "send"};
    const std::size_t pick = in.ConsumeIntegralInRange<std::size_t>(0, std::size(kMembers));
    return pick < std::size(kMembers) ? kMembers[pick] : Name(in, 20);
}

bool AppendPlain(FuzzedDataProvider& in, sd_bus_message* m, Built& built) {
    built.number = in.ConsumeIntegral<std::uint32_t>();
    built.wParam = in.ConsumeIntegral<std::uint64_t>();
    built.lParam = in.ConsumeIntegral<std::int64_t>();
    built.signature += "utx";
    return sd_bus_message_append(m, "utx", built.number, built.wParam, built.lParam) >= 0;
}

bool AppendCopyData(FuzzedDataProvider& in, sd_bus_message* m, Built& built) {
    built.wParam = in.ConsumeIntegral<std::uint64_t>();
    built.kind = in.ConsumeIntegral<std::uint64_t>();
    const int sizing = in.ConsumeIntegralInRange(0, 3);
    std::size_t size = 0;
    if (sizing == 0) {
        // Around the limit, where an off-by-one would show.
        size = kMaxCopyDataBytes - 2 + in.ConsumeIntegralInRange<std::size_t>(0, 4);
    } else if (sizing == 1) {
        size = in.ConsumeIntegralInRange<std::size_t>(0, 4 * kMaxCopyDataBytes);
    } else {
        size = in.ConsumeIntegralInRange<std::size_t>(0, 512);
    }
    const std::uint8_t fill = in.ConsumeIntegral<std::uint8_t>();
    built.bytes.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
        built.bytes[i] = static_cast<BYTE>(fill + i * 31);
    }
    built.byteCount =
        in.ConsumeBool() ? static_cast<std::uint32_t>(size) : in.ConsumeIntegral<std::uint32_t>();
    built.signature += "ttuay";
    return sd_bus_message_append(m, "ttu", built.wParam, built.kind, built.byteCount) >= 0 &&
           sd_bus_message_append_array(m, 'y', built.bytes.data(), built.bytes.size()) >= 0;
}

// One argument of a type the input picks; false when sd-bus refuses the value, which then
// never reaches anyone either.
bool AppendAny(FuzzedDataProvider& in, sd_bus_message* m, Built& built) {
    switch (in.ConsumeIntegralInRange(0, 12)) {
        case 0:
            built.signature += "y";
            return sd_bus_message_append(m, "y", in.ConsumeIntegral<std::uint8_t>()) >= 0;
        case 1:
            built.signature += "b";
            return sd_bus_message_append(m, "b", static_cast<int>(in.ConsumeBool())) >= 0;
        case 2:
            built.signature += "q";
            return sd_bus_message_append(m, "q", in.ConsumeIntegral<std::uint16_t>()) >= 0;
        case 3:
            built.signature += "i";
            return sd_bus_message_append(m, "i", in.ConsumeIntegral<std::int32_t>()) >= 0;
        case 4:
            built.signature += "u";
            return sd_bus_message_append(m, "u", in.ConsumeIntegral<std::uint32_t>()) >= 0;
        case 5:
            built.signature += "t";
            return sd_bus_message_append(m, "t", in.ConsumeIntegral<std::uint64_t>()) >= 0;
        case 6:
            built.signature += "x";
            return sd_bus_message_append(m, "x", in.ConsumeIntegral<std::int64_t>()) >= 0;
        case 7:
            built.signature += "d";
            return sd_bus_message_append(m, "d", in.ConsumeFloatingPoint<double>()) >= 0;
        case 8: {
            built.signature += "s";
            const std::string text = in.ConsumeRandomLengthString(64);
            return sd_bus_message_append(m, "s", text.c_str()) >= 0;
        }
        case 9: {
            built.signature += "ay";
            const std::string text = in.ConsumeRandomLengthString(64);
            return sd_bus_message_append_array(m, 'y', text.data(), text.size()) >= 0;
        }
        case 10:
            built.signature += "(ut)";
            return sd_bus_message_append(m, "(ut)", in.ConsumeIntegral<std::uint32_t>(),
                                         in.ConsumeIntegral<std::uint64_t>()) >= 0;
        case 11:
            built.signature += "v";
            return sd_bus_message_append(m, "v", "u", in.ConsumeIntegral<std::uint32_t>()) >= 0;
        default:
            built.signature += "ai";
            return sd_bus_message_append(m, "ai", 2, in.ConsumeIntegral<std::int32_t>(),
                                         in.ConsumeIntegral<std::int32_t>()) >= 0;
    }
}

bool AppendBody(FuzzedDataProvider& in, sd_bus_message* m, Built& built) {
    const int shape = in.ConsumeIntegralInRange(0, 5);
    bool ok = true;
    if (shape == 0 || shape == 1) {
        ok = AppendPlain(in, m, built);
    } else if (shape == 2 || shape == 3) {
        ok = AppendCopyData(in, m, built);
    } else if (shape == 4) {
        const std::string title = in.ConsumeRandomLengthString(64);
        const std::string className = in.ConsumeRandomLengthString(64);
        built.signature += "ss";
        ok = sd_bus_message_append(m, "ss", title.c_str(), className.c_str()) >= 0;
    }
    // Extra or other arguments after a well-formed list, or instead of one.
    const int extra = in.ConsumeIntegralInRange(0, shape == 5 ? 5 : 1);
    for (int i = 0; ok && i < extra; ++i) {
        ok = AppendAny(in, m, built);
    }
    return ok;
}

void Pump(HWND window) {
    MSG msg;
    while (PeekMessage(&msg, window, 0, 0, PM_REMOVE)) {
        DispatchMessage(&msg);
    }
}

void ExpectReceived(const Built& built, bool copyData) {
    const std::vector<Received>& got = Target().received;
    if (got.size() != 1) {
        __builtin_trap();
    }
    const Received& r = got.front();
    if (r.copyData != copyData || r.wParam != static_cast<WPARAM>(built.wParam)) {
        __builtin_trap();
    }
    if (copyData) {
        if (r.message != WM_COPYDATA || r.kind != built.kind || r.bytes != built.bytes ||
            r.bytes.size() != built.byteCount) {
            __builtin_trap();
        }
    } else if (r.message != built.number || r.lParam != static_cast<LPARAM>(built.lParam)) {
        __builtin_trap();
    }
}

// Every reader on every message, whatever the filter said: none may crash, and none may accept
// arguments other than its own.
void ReadAnyway(sd_bus_message* m, const Built& built) {
    auto accepts = [m](auto read) {
        if (sd_bus_message_rewind(m, 1) < 0) {
            __builtin_trap();
        }
        return read(m).index() == 1;
    };
    if (accepts(ReadSendCall) &&
        (built.signature != "utx" || !MayCross(built.number) || built.number == WM_COPYDATA)) {
        __builtin_trap();
    }
    if ((accepts(ReadPostCall) || accepts(ReadBroadcast)) &&
        (built.signature != "utx" || !MayCross(built.number))) {
        __builtin_trap();
    }
    if (accepts(ReadSendCopyDataCall) &&
        (built.signature != "ttuay" || built.bytes.size() > kMaxCopyDataBytes ||
         built.bytes.size() != built.byteCount)) {
        __builtin_trap();
    }
    if (accepts(ReadFindCall) && built.signature != "ss") {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::SilenceLogs();
    StartedBus();
    Target();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    RecordingWindow& window = Target();
    const HWND served = window.GetHwnd();
    window.received.clear();

    Built built;
    built.signal = in.ConsumeIntegralInRange(0, 7) == 0;
    built.path = PickPath(in, served);
    built.interface = PickInterface(in);
    built.member = PickMember(in);
    const char* interface = built.interface ? built.interface->c_str() : nullptr;

    Sequence holder;
    int created =
        built.signal
            ? sd_bus_message_new_signal(StartedBus(), &holder.message, built.path.c_str(),
                                        interface != nullptr ? interface : "", built.member.c_str())
            : sd_bus_message_new_method_call(StartedBus(), &holder.message, nullptr,
                                             built.path.c_str(), interface, built.member.c_str());
    if (created < 0) {
        // sd-bus refuses to build what the bus daemon would never pass on.
        return 0;
    }
    sd_bus_message* m = holder.message;
    if (!AppendBody(in, m, built) || sd_bus_message_seal(m, 1, 0) < 0) {
        return 0;
    }

    const bool ourWindow = built.path == WindowObjectPath(served);
    const bool windowInterface = !built.interface || *built.interface == kWindowInterface;
    const bool rootInterface = !built.interface || *built.interface == kWindowsInterface;
    const bool standard =
        built.interface && std::string_view(*built.interface).starts_with("org.freedesktop.DBus.");

    bool delivered = false;
    bool found = false;
    bool copyData = false;
    if (built.signal) {
        // The match sd-bus applies before the broadcast handler runs.
        if (built.interface == kWindowsInterface && built.member == "Broadcast") {
            IncomingMessage read = ReadBroadcast(m);
            if (auto* inbound = std::get_if<InboundSend>(&read)) {
                DeliverBroadcast(inbound->message, inbound->wParam, inbound->lParam);
                Pump(served);
                delivered = true;
            }
        }
        const bool expected = built.interface == kWindowsInterface && built.member == "Broadcast" &&
                              built.signature == "utx" && MayCross(built.number);
        if (delivered != expected) {
            __builtin_trap();
        }
    } else {
        std::optional<BusRefusal> refusal = CheckIncomingCall(m, [served](const char* path) {
            auto window = ParseWindowObjectPath(path);
            return window && *window == served ? served : nullptr;
        });
        if (refusal && (refusal->errorName == nullptr || refusal->reason.empty())) {
            __builtin_trap();
        }
        if (refusal && standard) {
            __builtin_trap();  // the standard interfaces are sd-bus's to answer
        }
        if (!refusal && !standard) {
            // sd-bus's dispatch by path and member.
            std::optional<IncomingMessage> read;
            const bool post = built.member == "Post";
            if (ParseWindowObjectPath(built.path) && built.member == "Send") {
                read = ReadSendCall(m);
            } else if (ParseWindowObjectPath(built.path) && post) {
                read = ReadPostCall(m);
            } else if (ParseWindowObjectPath(built.path) && built.member == "SendCopyData") {
                read = ReadSendCopyDataCall(m);
            } else if (built.path == kWindowsPath && built.member == "Find") {
                found = ReadFindCall(m).index() == 1;
                if (!found) {
                    __builtin_trap();  // the filter passed a Find its reader refuses
                }
            } else {
                __builtin_trap();  // the filter passed a call nothing would handle
            }
            if (read) {
                if (auto* inbound = std::get_if<InboundSend>(&*read)) {
                    // The transport aims it at the window the path stands for.
                    inbound->window = served;
                    copyData = inbound->message == WM_COPYDATA;
                    if (post) {
                        if (DeliverPostedMessage(inbound->window, inbound->message, inbound->wParam,
                                                 inbound->lParam)) {
                            Pump(served);
                        }
                    } else {
                        LRESULT answer = 0;
                        DeliverSentMessage(std::move(*inbound),
                                           [&answer](LRESULT result) { answer = result; });
                        if (answer != kAnswer) {
                            __builtin_trap();
                        }
                    }
                    delivered = true;
                }
            }
        }
        const bool plain = (built.member == "Send" || built.member == "Post") &&
                           built.signature == "utx" && MayCross(built.number) &&
                           !(built.member == "Send" && built.number == WM_COPYDATA);
        const bool copy = built.member == "SendCopyData" && built.signature == "ttuay" &&
                          built.bytes.size() <= kMaxCopyDataBytes &&
                          built.bytes.size() == built.byteCount;
        const bool expectDelivered = ourWindow && windowInterface && (plain || copy);
        const bool expectFound = built.path == kWindowsPath && rootInterface &&
                                 built.member == "Find" && built.signature == "ss";
        if (delivered != expectDelivered || found != expectFound) {
            __builtin_trap();
        }
    }
    if (delivered) {
        ExpectReceived(built, copyData);
    } else if (!window.received.empty()) {
        __builtin_trap();
    }
    ReadAnyway(m, built);
    return 0;
}
