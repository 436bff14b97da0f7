#include <fmt/format.h>
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "platform/bus_log.h"
#include "platform/bus_names.h"
#include "platform/bus_window_calls.h"
#include "platform/bus_window_transport.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/text.h"
#include "platform/window_system.h"

namespace platform {
namespace {

constexpr char kErrorUnknownObject[] = "org.freedesktop.DBus.Error.UnknownObject";
constexpr char kErrorFailed[] = "org.freedesktop.DBus.Error.Failed";
constexpr char kErrorLimitsExceeded[] = "org.freedesktop.DBus.Error.LimitsExceeded";

const char* SenderOf(sd_bus_message* message) {
    const char* sender = sd_bus_message_get_sender(message);
    return sender != nullptr ? sender : "?";
}

std::string Describe(sd_bus_message* message) {
    const char* interface = sd_bus_message_get_interface(message);
    const char* member = sd_bus_message_get_member(message);
    const char* path = sd_bus_message_get_path(message);
    return fmt::format("{}{}{} on {} from {}", interface != nullptr ? interface : "",
                       interface != nullptr ? "." : "", member != nullptr ? member : "?",
                       path != nullptr ? path : "?", SenderOf(message));
}

// For the filter, which answers the call itself. A call sent without
// expecting a reply gets none; sd-bus leaves it out.
int RefuseCall(sd_bus_message* message, const BusRefusal& refusal) {
    BusLogRefusal(SenderOf(message),
                  fmt::format("refused {}: {}", Describe(message), refusal.reason));
    sd_bus_reply_method_errorf(message, refusal.errorName, "%s", refusal.reason.c_str());
    return 1;
}

// For method handlers, whose error sd-bus turns into the reply.
int Refuse(sd_bus_message* message, sd_bus_error* error, const BusRefusal& refusal) {
    BusLogRefusal(SenderOf(message),
                  fmt::format("refused {}: {}", Describe(message), refusal.reason));
    return sd_bus_error_set(error, refusal.errorName, refusal.reason.c_str());
}

// A node list as sd-bus takes it: allocated with malloc, null-terminated.
int NodeList(const std::set<std::string>& paths, char*** nodes) {
    auto** list = static_cast<char**>(std::calloc(paths.size() + 1, sizeof(char*)));
    if (list == nullptr) {
        return -ENOMEM;
    }
    std::size_t count = 0;
    for (const std::string& path : paths) {
        list[count] = strdup(path.c_str());
        if (list[count] == nullptr) {
            for (std::size_t i = 0; i < count; ++i) {
                std::free(list[i]);
            }
            std::free(list);
            return -ENOMEM;
        }
        ++count;
    }
    *nodes = list;
    return 0;
}

}  // namespace

int BusWindowTransport::RegisterObjects(sd_bus* bus) {
    static const sd_bus_vtable kWindowVtable[] = {
        SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("Title", "s", GetTitle, 0, 0),
        SD_BUS_PROPERTY("ClassName", "s", GetClassName, 0, 0),
        SD_BUS_METHOD_WITH_NAMES("Send", "utx",
                                 SD_BUS_PARAM(message) SD_BUS_PARAM(wParam) SD_BUS_PARAM(lParam),
                                 "x", SD_BUS_PARAM(result), OnSend, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES(
            "SendCopyData", "ttuay",
            SD_BUS_PARAM(wParam) SD_BUS_PARAM(kind) SD_BUS_PARAM(byteCount) SD_BUS_PARAM(bytes),
            "x", SD_BUS_PARAM(result), OnSendCopyData, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES(
            "Post", "utx", SD_BUS_PARAM(message) SD_BUS_PARAM(wParam) SD_BUS_PARAM(lParam), "", ,
            OnPost, SD_BUS_VTABLE_UNPRIVILEGED | SD_BUS_VTABLE_METHOD_NO_REPLY),
        // Sent on a title object when no window answers to the title any more.
        SD_BUS_SIGNAL("Gone", "", 0), SD_BUS_VTABLE_END};
    static const sd_bus_vtable kWindowsVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD_WITH_NAMES("Find", "ss", SD_BUS_PARAM(title) SD_BUS_PARAM(className), "t",
                                 SD_BUS_PARAM(handle), OnFind, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_SIGNAL_WITH_NAMES(
            "Broadcast", "utx", SD_BUS_PARAM(message) SD_BUS_PARAM(wParam) SD_BUS_PARAM(lParam), 0),
        SD_BUS_VTABLE_END};

    int result = sd_bus_add_filter(bus, nullptr, Filter, this);
    if (result >= 0) {
        // sd-bus refuses plain and fallback tables on one path, so the root's
        // table is a fallback too, found only for the root itself.
        result = sd_bus_add_fallback_vtable(bus, nullptr, kWindowsPath, kWindowsInterface,
                                            kWindowsVtable, FindRoot, this);
    }
    if (result >= 0) {
        result = sd_bus_add_fallback_vtable(bus, nullptr, kWindowsPath, kWindowInterface,
                                            kWindowVtable, FindObject, this);
    }
    if (result >= 0) {
        result = sd_bus_add_node_enumerator(bus, nullptr, kWindowsPath, EnumerateObjects, this);
    }
    if (result >= 0) {
        result = sd_bus_match_signal(bus, nullptr, nullptr, nullptr, kWindowsInterface, "Broadcast",
                                     OnBroadcast, this);
    }
    if (result >= 0) {
        result = sd_bus_match_signal(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "NameOwnerChanged", OnNameOwnerChanged,
                                     this);
    }
    if (result >= 0) {
        result = sd_bus_match_signal(bus, nullptr, nullptr, nullptr, kWindowInterface, "Gone",
                                     OnTitleGone, this);
    }
    if (result >= 0) {
        result = sd_bus_add_fallback_vtable(bus, nullptr, kTitlesPath, kWindowInterface,
                                            kWindowVtable, FindObject, this);
    }
    if (result >= 0) {
        result = sd_bus_add_node_enumerator(bus, nullptr, kTitlesPath, EnumerateTitleObjects, this);
    }
    return result;
}

// Checks every incoming call aimed at our objects before sd-bus dispatches
// it, so that each refusal is logged; sd-bus would answer most of these by
// itself, silently. The standard interfaces (introspection, properties,
// peer) are left to sd-bus.
int BusWindowTransport::Filter(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    std::optional<BusRefusal> refusal =
        CheckIncomingCall(message, [self](const char* path) { return self->WindowAt(path); });
    return refusal ? RefuseCall(message, *refusal) : 0;
}

// Title objects, "/org/dmbtpeg/titles/<escaped title>[/<escaped class>]":
// what another process needs to reach a window by its title is then only the
// owner of the title's bus name, which the bus daemon tells without asking
// us; which window answers is decided here, when a call arrives.
HWND BusWindowTransport::WindowAt(const char* path) const {
    if (path == nullptr) {
        return nullptr;
    }
    if (auto window = ParseWindowObjectPath(path)) {
        return m_titled.contains(*window) ? *window : nullptr;
    }
    if (auto object = ParseTitleObjectPath(path)) {
        return FrontWindowTitled(object->title, object->className);
    }
    return nullptr;
}

HWND BusWindowTransport::FrontWindowTitled(const std::u16string& title,
                                           const std::u16string& className) const {
    auto& system = detail::Windows();
    std::lock_guard lock(system.lock);
    for (HWND window : system.zOrder) {
        const detail::WindowRecord* record = system.Find(window);
        if (record == nullptr || record->destroying || record->title != title ||
            !m_titled.contains(window)) {
            continue;
        }
        if (className.empty() || EqualsNoCase(record->className, className)) {
            return window;
        }
    }
    return nullptr;
}

int BusWindowTransport::FindObject(sd_bus*, const char* path, const char*, void* userdata,
                                   void** found, sd_bus_error*) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    if (self->WindowAt(path) == nullptr) {
        return 0;
    }
    *found = self;
    return 1;
}

int BusWindowTransport::FindRoot(sd_bus*, const char* path, const char*, void* userdata,
                                 void** found, sd_bus_error*) {
    if (std::string_view(path) != kWindowsPath) {
        return 0;
    }
    *found = userdata;
    return 1;
}

int BusWindowTransport::EnumerateObjects(sd_bus*, const char*, void* userdata, char*** nodes,
                                         sd_bus_error*) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    std::set<std::string> paths;
    for (const auto& [window, title] : self->m_titled) {
        paths.insert(WindowObjectPath(window));
    }
    return NodeList(paths, nodes);
}

int BusWindowTransport::EnumerateTitleObjects(sd_bus*, const char*, void* userdata, char*** nodes,
                                              sd_bus_error*) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    std::set<std::string> paths;
    for (const auto& [window, title] : self->m_titled) {
        paths.insert(TitleObjectPath(title));
    }
    return NodeList(paths, nodes);
}

void BusWindowTransport::DeliverAndAnswer(sd_bus_message* call, InboundSend inbound) {
    DWORD thread = 0;
    {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        if (const detail::WindowRecord* record = system.Find(inbound.window)) {
            thread = record->owner->threadId;
        }
    }
    ThreadLoad& load = m_inboundLoad[thread];
    const std::size_t bytes = inbound.copyData.size();
    if (load.sends >= kMaxWaitingSends || load.bytes + bytes > kMaxWaitingSendBytes) {
        RefuseCall(call, BusRefusal{kErrorLimitsExceeded,
                                    fmt::format("{} sends with {} bytes of copy data from other "
                                                "processes already wait for the window's thread",
                                                load.sends, load.bytes)});
        return;
    }
    // The reply is made now, so the call and its copy data need not be kept
    // while the window's thread is busy.
    sd_bus_message* reply = nullptr;
    if (sd_bus_message_new_method_return(call, &reply) < 0) {
        RefuseCall(call, BusRefusal{kErrorFailed, "no memory for the answer"});
        return;
    }
    ++load.sends;
    load.bytes += bytes;
    std::uint64_t id = m_nextInbound++;
    m_inbound.emplace(id, InboundSendCall{reply, thread, bytes});
    DeliverSentMessage(std::move(inbound), [this, id](LRESULT result) {
        m_thread.Post([this, id, result](sd_bus*) { Answer(id, result); });
    });
}

void BusWindowTransport::Answer(std::uint64_t id, LRESULT result) {
    auto it = m_inbound.find(id);
    if (it == m_inbound.end()) {
        return;
    }
    const InboundSendCall call = it->second;
    m_inbound.erase(it);
    if (auto load = m_inboundLoad.find(call.thread); load != m_inboundLoad.end()) {
        load->second.bytes -= call.bytes;
        if (--load->second.sends == 0) {
            m_inboundLoad.erase(load);
        }
    }
    // The sender may have gone meanwhile; nobody is left to tell.
    if (m_bus != nullptr &&
        sd_bus_message_append(call.reply, "x", static_cast<std::int64_t>(result)) >= 0) {
        sd_bus_send(m_bus, call.reply, nullptr);
    }
    sd_bus_message_unref(call.reply);
}

IncomingMessage BusWindowTransport::AimAtPath(sd_bus_message* message, IncomingMessage read) const {
    if (auto* inbound = std::get_if<InboundSend>(&read)) {
        inbound->window = WindowAt(sd_bus_message_get_path(message));
        if (inbound->window == nullptr) {
            return BusRefusal{kErrorUnknownObject, "no such window"};
        }
    }
    return read;
}

int BusWindowTransport::DeliverCall(sd_bus_message* message, sd_bus_error* error,
                                    IncomingMessage read) {
    read = AimAtPath(message, std::move(read));
    if (auto* refusal = std::get_if<BusRefusal>(&read)) {
        return Refuse(message, error, *refusal);
    }
    DeliverAndAnswer(message, std::move(std::get<InboundSend>(read)));
    return 1;
}

int BusWindowTransport::OnSend(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    return static_cast<BusWindowTransport*>(userdata)->DeliverCall(message, error,
                                                                   ReadSendCall(message));
}

int BusWindowTransport::OnSendCopyData(sd_bus_message* message, void* userdata,
                                       sd_bus_error* error) {
    return static_cast<BusWindowTransport*>(userdata)->DeliverCall(message, error,
                                                                   ReadSendCopyDataCall(message));
}

int BusWindowTransport::OnPost(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    IncomingMessage read =
        static_cast<BusWindowTransport*>(userdata)->AimAtPath(message, ReadPostCall(message));
    if (auto* refusal = std::get_if<BusRefusal>(&read)) {
        return Refuse(message, error, *refusal);
    }
    const InboundSend& posted = std::get<InboundSend>(read);
    if (!DeliverPostedMessage(posted.window, posted.message, posted.wParam, posted.lParam)) {
        return Refuse(message, error,
                      BusRefusal{kErrorFailed, fmt::format("the window took no message (error {})",
                                                           GetLastError())});
    }
    return sd_bus_reply_method_return(message, "");
}

int BusWindowTransport::OnFind(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    auto read = ReadFindCall(message);
    if (auto* refusal = std::get_if<BusRefusal>(&read)) {
        return Refuse(message, error, *refusal);
    }
    const FindArguments& find = std::get<FindArguments>(read);
    HWND window = self->FrontWindowTitled(find.title, find.className);
    return sd_bus_reply_method_return(
        message, "t", static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(window)));
}

int BusWindowTransport::GetTitle(sd_bus*, const char* path, const char*, const char*,
                                 sd_bus_message* reply, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    auto it = self->m_titled.find(self->WindowAt(path));
    if (it == self->m_titled.end()) {
        return sd_bus_error_set(error, kErrorUnknownObject, "no such window");
    }
    return sd_bus_message_append(reply, "s", ToUtf8(it->second).c_str());
}

int BusWindowTransport::GetClassName(sd_bus*, const char* path, const char*, const char*,
                                     sd_bus_message* reply, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    std::u16string className;
    bool found = false;
    if (HWND window = self->WindowAt(path)) {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        if (const detail::WindowRecord* record = system.Find(window)) {
            className = record->className;
            found = true;
        }
    }
    if (!found) {
        return sd_bus_error_set(error, kErrorUnknownObject, "no such window");
    }
    return sd_bus_message_append(reply, "s", ToUtf8(className).c_str());
}

int BusWindowTransport::OnBroadcast(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    const char* sender = sd_bus_message_get_sender(message);
    // Our own windows got the broadcast when it was posted.
    if (sender != nullptr && self->m_uniqueName == sender) {
        return 0;
    }
    IncomingMessage read = ReadBroadcast(message);
    if (auto* refusal = std::get_if<BusRefusal>(&read)) {
        BusLogRefusal(SenderOf(message), fmt::format("ignored a broadcast from {}: {}",
                                                     SenderOf(message), refusal->reason));
        return 0;
    }
    const InboundSend& broadcast = std::get<InboundSend>(read);
    DeliverBroadcast(broadcast.message, broadcast.wParam, broadcast.lParam);
    return 0;
}

int BusWindowTransport::OnNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) {
        return 0;
    }
    if (name != nullptr && name[0] == ':' && newOwner != nullptr && newOwner[0] == '\0') {
        self->ForgetOwner(name);
    }
    return 0;
}

// Only the process that served a title can say it is gone: the bus daemon
// names the sender, so no one else can retract another process's windows.
int BusWindowTransport::OnTitleGone(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    const char* sender = sd_bus_message_get_sender(message);
    const char* path = sd_bus_message_get_path(message);
    auto object = path != nullptr ? ParseTitleObjectPath(path) : std::nullopt;
    if (sender == nullptr || !object || !object->className.empty()) {
        return 0;
    }
    const std::string owner = sender;
    std::lock_guard lock(self->m_mutex);
    self->ForgetRemotesLocked([&](const RemoteWindow& remote) {
        return remote.owner == owner && remote.title == object->title;
    });
    return 0;
}

}  // namespace platform
