#include <fmt/format.h>
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
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

std::string Describe(sd_bus_message* message) {
    const char* interface = sd_bus_message_get_interface(message);
    const char* member = sd_bus_message_get_member(message);
    const char* path = sd_bus_message_get_path(message);
    const char* sender = sd_bus_message_get_sender(message);
    return fmt::format("{}{}{} on {} from {}", interface != nullptr ? interface : "",
                       interface != nullptr ? "." : "", member != nullptr ? member : "?",
                       path != nullptr ? path : "?", sender != nullptr ? sender : "?");
}

// For the filter, which answers the call itself.
int RefuseCall(sd_bus_message* message, const BusRefusal& refusal) {
    BusLog(fmt::format("refused {}: {}", Describe(message), refusal.reason));
    sd_bus_reply_method_errorf(message, refusal.errorName, "%s", refusal.reason.c_str());
    return 1;
}

// For method handlers, whose error sd-bus turns into the reply.
int Refuse(sd_bus_message* message, sd_bus_error* error, const BusRefusal& refusal) {
    BusLog(fmt::format("refused {}: {}", Describe(message), refusal.reason));
    return sd_bus_error_set(error, refusal.errorName, refusal.reason.c_str());
}

}  // namespace

int BusWindowTransport::RegisterObjects(sd_bus* bus) {
    static const sd_bus_vtable kWindowVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_PROPERTY("Title", "s", GetTitle, 0, 0),
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
        SD_BUS_VTABLE_END};
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
    return result;
}

// Checks every incoming call aimed at our objects before sd-bus dispatches
// it, so that each refusal is logged; sd-bus would answer most of these by
// itself, silently. The standard interfaces (introspection, properties,
// peer) are left to sd-bus.
int BusWindowTransport::Filter(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    std::optional<BusRefusal> refusal = CheckIncomingCall(
        message, [self](HWND window) { return self->m_titled.contains(window); });
    return refusal ? RefuseCall(message, *refusal) : 0;
}

int BusWindowTransport::FindObject(sd_bus*, const char* path, const char*, void* userdata,
                                   void** found, sd_bus_error*) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    auto window = ParseWindowObjectPath(path);
    if (!window || !self->m_titled.contains(*window)) {
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
    auto** list = static_cast<char**>(std::calloc(self->m_titled.size() + 1, sizeof(char*)));
    if (list == nullptr) {
        return -ENOMEM;
    }
    std::size_t count = 0;
    for (const auto& [window, title] : self->m_titled) {
        list[count] = strdup(WindowObjectPath(window).c_str());
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

void BusWindowTransport::DeliverAndAnswer(sd_bus_message* call, InboundSend inbound) {
    std::uint64_t id = m_nextInbound++;
    m_inbound.emplace(id, sd_bus_message_ref(call));
    DeliverSentMessage(std::move(inbound), [this, id](LRESULT result) {
        m_thread.Post([this, id, result](sd_bus*) { Answer(id, result); });
    });
}

void BusWindowTransport::Answer(std::uint64_t id, LRESULT result) {
    auto it = m_inbound.find(id);
    if (it == m_inbound.end()) {
        return;
    }
    // The sender may have gone meanwhile; nobody is left to tell.
    sd_bus_reply_method_return(it->second, "x", static_cast<std::int64_t>(result));
    sd_bus_message_unref(it->second);
    m_inbound.erase(it);
}

int BusWindowTransport::OnSend(sd_bus_message* message, void* userdata, sd_bus_error* error) {
    IncomingMessage read = ReadSendCall(message);
    if (auto* refusal = std::get_if<BusRefusal>(&read)) {
        return Refuse(message, error, *refusal);
    }
    static_cast<BusWindowTransport*>(userdata)->DeliverAndAnswer(
        message, std::move(std::get<InboundSend>(read)));
    return 1;
}

int BusWindowTransport::OnSendCopyData(sd_bus_message* message, void* userdata,
                                       sd_bus_error* error) {
    IncomingMessage read = ReadSendCopyDataCall(message);
    if (auto* refusal = std::get_if<BusRefusal>(&read)) {
        return Refuse(message, error, *refusal);
    }
    static_cast<BusWindowTransport*>(userdata)->DeliverAndAnswer(
        message, std::move(std::get<InboundSend>(read)));
    return 1;
}

int BusWindowTransport::OnPost(sd_bus_message* message, void*, sd_bus_error* error) {
    IncomingMessage read = ReadPostCall(message);
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
    std::uint64_t handle = 0;
    {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        for (HWND window : system.zOrder) {
            const detail::WindowRecord* record = system.Find(window);
            if (record == nullptr || record->destroying || record->title != find.title ||
                !self->m_titled.contains(window)) {
                continue;
            }
            if (!find.className.empty() && !EqualsNoCase(record->className, find.className)) {
                continue;
            }
            handle = reinterpret_cast<std::uintptr_t>(window);
            break;
        }
    }
    return sd_bus_reply_method_return(message, "t", handle);
}

int BusWindowTransport::GetTitle(sd_bus*, const char* path, const char*, const char*,
                                 sd_bus_message* reply, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<BusWindowTransport*>(userdata);
    auto window = ParseWindowObjectPath(path);
    auto it = window ? self->m_titled.find(*window) : self->m_titled.end();
    if (it == self->m_titled.end()) {
        return sd_bus_error_set(error, kErrorUnknownObject, "no such window");
    }
    return sd_bus_message_append(reply, "s", ToUtf8(it->second).c_str());
}

int BusWindowTransport::GetClassName(sd_bus*, const char* path, const char*, const char*,
                                     sd_bus_message* reply, void*, sd_bus_error* error) {
    std::u16string className;
    bool found = false;
    if (auto window = ParseWindowObjectPath(path)) {
        auto& system = detail::Windows();
        std::lock_guard lock(system.lock);
        if (const detail::WindowRecord* record = system.Find(*window)) {
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
        BusLog(fmt::format("ignored a broadcast from {}: {}", sender != nullptr ? sender : "?",
                           refusal->reason));
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

}  // namespace platform
