#include "platform/bus_window_transport.h"

#include <fmt/format.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "platform/bus_log.h"
#include "platform/bus_names.h"
#include "platform/bus_selection.h"
#include "platform/clock.h"
#include "platform/kernel.h"
#include "platform/message_queue.h"
#include "platform/text.h"
#include "platform/window_messages.h"

namespace platform {
namespace {

constexpr char kBusService[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";
constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
// A send waits for the receiver as long as Win32 would: until it answers or
// disappears, which the bus reports at once. sd-bus wants some limit; a year
// is none in practice. Sends with a time-out keep their call pending past it
// too, so that a stopped receiver's late answer still arrives and shows it
// runs again.
constexpr std::uint64_t kSendTimeoutUsec = 365ull * 24 * 3600 * 1000000;
// Lookups are answered by bus threads, never by window procedures, so sd-bus's
// default limit (0 selects it) only matters when the bus itself is stuck.
constexpr std::uint64_t kLookupTimeoutUsec = 0;
// A window lookup is answered by the owning process's bus thread within
// milliseconds; only a process that is not running at all (stopped) leaves it
// unanswered, and the caller (often a main thread) waits for it meanwhile.
// Its own limit follows the platform clock, like every other wait.
constexpr DWORD kFindTimeoutMs = 2000;

std::uint64_t FindTimeoutUsec() {
    const auto scaled =
        std::chrono::duration_cast<std::chrono::microseconds>(ScaledDuration(kFindTimeoutMs));
    return static_cast<std::uint64_t>(std::max<std::int64_t>(scaled.count(), 1000));
}

bool Unanswered(const sd_bus_error* error) {
    return error != nullptr && (sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY) ||
                                sd_bus_error_has_name(error, SD_BUS_ERROR_TIMEOUT));
}

// What a thread waits for while the bus thread works for it. Copies share the
// value; the first Set wins.
template <typename T>
class Outcome {
  public:
    void Set(T value) const {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->value) {
            m_state->value = std::move(value);
            m_state->ready.notify_all();
        }
    }
    T Wait() const {
        std::unique_lock lock(m_state->mutex);
        m_state->ready.wait(lock, [this] { return m_state->value.has_value(); });
        return *m_state->value;
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable ready;
        std::optional<T> value;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

struct AsyncCall {
    std::function<void(sd_bus_message*, const sd_bus_error*)> onReply;
    std::function<void(const char* sender)> heardFrom;
    bool answered = false;
};

int OnAsyncReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* call = static_cast<AsyncCall*>(userdata);
    call->answered = true;
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        call->onReply(nullptr, sd_bus_message_get_error(reply));
    } else {
        call->onReply(reply, nullptr);
    }
    // Told after the reply was handled: a sender that saw its send time out
    // and found it unanswered has by then counted the process hung, and this
    // clears it again. Errors the bus or sd-bus make up carry no unique name.
    const char* sender = sd_bus_message_get_sender(reply);
    if (sender != nullptr && sender[0] == ':') {
        call->heardFrom(sender);
    }
    return 0;
}

// The slot goes when the reply was handled, or unanswered when the
// connection closes; either way the waiting side hears of it.
void OnAsyncSlotGone(void* userdata) {
    auto* call = static_cast<AsyncCall*>(userdata);
    if (!call->answered) {
        call->onReply(nullptr, nullptr);
    }
    delete call;
}

const char* ErrorText(const sd_bus_error* error) {
    return error != nullptr && error->message != nullptr ? error->message : "no connection";
}

struct MessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

MessagePtr NewCall(sd_bus* bus, const std::string& destination, const std::string& path,
                   const char* interface, const char* member) {
    sd_bus_message* call = nullptr;
    if (bus == nullptr || sd_bus_message_new_method_call(bus, &call, destination.c_str(),
                                                         path.c_str(), interface, member) < 0) {
        return nullptr;
    }
    return MessagePtr(call);
}

std::string ObjectPath(std::uint64_t handle) {
    return WindowObjectPath(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(handle)));
}

}  // namespace

BusWindowTransport::~BusWindowTransport() {
    Stop();
}

bool BusWindowTransport::Start(std::string* error) {
    BusKind kind = SelectedBus();
    m_thread.SetDisconnectHandler([this] { OnDisconnected(); });
    int result = m_thread.Start(
        [kind](sd_bus** bus) {
            return kind == BusKind::System ? sd_bus_open_system(bus) : sd_bus_open_user(bus);
        },
        [this](sd_bus* bus) { return Setup(bus); });
    if (result < 0) {
        *error = std::strerror(-result);
        return false;
    }
    return true;
}

void BusWindowTransport::Stop() {
    m_thread.Stop([this](sd_bus*) { Teardown(); });
}

int BusWindowTransport::Setup(sd_bus* bus) {
    m_bus = bus;
    const char* unique = nullptr;
    // Waits for the bus's answer to Hello: a socket that accepts is not yet
    // a bus that works.
    int result = sd_bus_get_unique_name(bus, &unique);
    if (result >= 0) {
        m_uniqueName = unique;
        result = RegisterObjects(bus);
    }
    if (result < 0) {
        m_bus = nullptr;
    }
    return result;
}

void BusWindowTransport::Teardown() {
    for (auto& [id, message] : m_inbound) {
        sd_bus_message_unref(message);
    }
    m_inbound.clear();
    for (auto& [id, pending] : m_pendingSends) {
        pending.reply.Fail();
    }
    m_pendingSends.clear();
    m_titled.clear();
    m_nameUses.clear();
    m_bus = nullptr;
    std::lock_guard lock(m_mutex);
    for (auto& remote : m_remotes) {
        remote.gone = true;
    }
    m_hung.clear();
}

void BusWindowTransport::OnDisconnected() {
    BusLog("lost the bus connection; only this process's windows are visible from now on");
    for (auto& [id, pending] : m_pendingSends) {
        pending.reply.Fail();
    }
    std::lock_guard lock(m_mutex);
    for (auto& remote : m_remotes) {
        remote.gone = true;
    }
    m_hung.clear();
}

void BusWindowTransport::ForgetOwner(const std::string& owner) {
    for (auto& [id, pending] : m_pendingSends) {
        if (pending.owner == owner) {
            pending.reply.Fail();
        }
    }
    std::lock_guard lock(m_mutex);
    for (auto& remote : m_remotes) {
        if (remote.owner == owner) {
            remote.gone = true;
        }
    }
    m_hung.erase(owner);
}

void BusWindowTransport::HeardFrom(const char* sender) {
    std::lock_guard lock(m_mutex);
    if (!m_hung.empty() && m_hung.erase(sender) > 0) {
        BusLog(fmt::format("{} answers again", sender));
    }
}

void BusWindowTransport::CallAsync(sd_bus_message* call, std::uint64_t timeoutUsec,
                                   ReplyHandler onReply) {
    auto* context =
        new AsyncCall{std::move(onReply), [this](const char* sender) { HeardFrom(sender); }};
    sd_bus_slot* slot = nullptr;
    int result = m_bus != nullptr && call != nullptr
                     ? sd_bus_call_async(m_bus, &slot, call, OnAsyncReply, context, timeoutUsec)
                     : -ENOTCONN;
    if (result < 0) {
        context->onReply(nullptr, nullptr);
        delete context;
        return;
    }
    sd_bus_slot_set_destroy_callback(slot, OnAsyncSlotGone);
    // Owned by the connection from here on, so a connection that closes
    // still runs the destroy callback.
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
}

void BusWindowTransport::AcquireName(const std::string& name, std::function<void()> done) {
    if (++m_nameUses[name] > 1) {
        done();
        return;
    }
    auto call = NewCall(m_bus, kBusService, kBusPath, kBusService, "RequestName");
    // Flags 0: wait in the queue behind other windows of the same title
    // rather than take the name from them.
    if (call == nullptr || sd_bus_message_append(call.get(), "su", name.c_str(), 0u) < 0) {
        BusLog(fmt::format("cannot ask for the name {}", name));
        done();
        return;
    }
    CallAsync(call.get(), kLookupTimeoutUsec,
              [name, done](sd_bus_message* reply, const sd_bus_error* error) {
                  if (reply == nullptr) {
                      BusLog(fmt::format("cannot own the name {}: {}", name, ErrorText(error)));
                  }
                  done();
              });
}

void BusWindowTransport::ReleaseName(const std::string& name, std::function<void()> done) {
    auto finish = [done] {
        if (done) {
            done();
        }
    };
    auto it = m_nameUses.find(name);
    if (it == m_nameUses.end() || --it->second > 0) {
        finish();
        return;
    }
    m_nameUses.erase(it);
    auto call = NewCall(m_bus, kBusService, kBusPath, kBusService, "ReleaseName");
    if (call == nullptr || sd_bus_message_append(call.get(), "s", name.c_str()) < 0) {
        finish();
        return;
    }
    CallAsync(call.get(), kLookupTimeoutUsec,
              [finish](sd_bus_message*, const sd_bus_error*) { finish(); });
}

bool BusWindowTransport::RemoteTarget(HWND remote, RemoteWindow* target) {
    std::lock_guard lock(m_mutex);
    std::uint32_t index = RemoteWindowIndex(remote);
    if (!IsRemoteWindow(remote) || index == 0 || index > m_remotes.size()) {
        return false;
    }
    *target = m_remotes[index - 1];
    return !target->gone;
}

HWND BusWindowTransport::RememberRemote(const std::string& owner, std::uint64_t handle) {
    std::lock_guard lock(m_mutex);
    auto key = std::make_pair(owner, handle);
    if (auto it = m_remoteIndex.find(key); it != m_remoteIndex.end()) {
        return MakeRemoteWindow(it->second);
    }
    if (m_remotes.size() >= kRemoteWindowIndexMask) {
        return nullptr;
    }
    m_remotes.push_back(RemoteWindow{owner, handle, false});
    auto index = static_cast<std::uint32_t>(m_remotes.size());
    m_remoteIndex.emplace(key, index);
    return MakeRemoteWindow(index);
}

bool BusWindowTransport::QueryTitle(HWND remote, std::u16string* title) {
    RemoteWindow target;
    if (!RemoteTarget(remote, &target) || m_thread.OnBusThread()) {
        return false;
    }
    Outcome<std::optional<std::u16string>> outcome;
    bool queued = m_thread.Post([this, target, outcome](sd_bus* bus) {
        auto call =
            NewCall(bus, target.owner, ObjectPath(target.handle), kPropertiesInterface, "Get");
        if (call == nullptr ||
            sd_bus_message_append(call.get(), "ss", kWindowInterface, "Title") < 0) {
            outcome.Set(std::nullopt);
            return;
        }
        CallAsync(call.get(), kLookupTimeoutUsec,
                  [outcome](sd_bus_message* reply, const sd_bus_error*) {
                      const char* text = nullptr;
                      if (reply != nullptr && sd_bus_message_read(reply, "v", "s", &text) >= 0 &&
                          text != nullptr) {
                          outcome.Set(FromUtf8(text));
                      } else {
                          outcome.Set(std::nullopt);
                      }
                  });
    });
    if (!queued) {
        return false;
    }
    auto result = outcome.Wait();
    if (!result) {
        return false;
    }
    *title = std::move(*result);
    return true;
}

bool BusWindowTransport::IsWindow(HWND remote) {
    std::u16string title;
    return QueryTitle(remote, &title);
}

bool BusWindowTransport::GetWindowText(HWND remote, std::u16string* title) {
    return QueryTitle(remote, title);
}

HWND BusWindowTransport::FindWindow(LPCWSTR className, LPCWSTR title) {
    // A bus name exists only for a title, so only titled lookups can leave
    // the process.
    if (title == nullptr || m_thread.OnBusThread()) {
        return nullptr;
    }
    std::string name = BusNameForTitle(title);
    std::string wantedTitle = ToUtf8(title);
    std::string wantedClass = className != nullptr ? ToUtf8(className) : std::string();
    struct Found {
        std::string owner;
        std::uint64_t handle = 0;
        bool unanswered = false;
    };
    Outcome<Found> outcome;
    bool queued = m_thread.Post([=, this](sd_bus* bus) {
        // Asked of the title's name itself: the bus hands the call to whoever owns the
        // name, and the reply's sender is that owner, so one round trip finds both the
        // process and its window.
        auto find = NewCall(bus, name, kWindowsPath, kWindowsInterface, "Find");
        if (find == nullptr || sd_bus_message_set_auto_start(find.get(), 0) < 0 ||
            sd_bus_message_append(find.get(), "ss", wantedTitle.c_str(), wantedClass.c_str()) < 0) {
            outcome.Set(Found{});
            return;
        }
        CallAsync(find.get(), FindTimeoutUsec(),
                  [outcome](sd_bus_message* found, const sd_bus_error* error) {
                      std::uint64_t handle = 0;
                      const char* owner =
                          found != nullptr ? sd_bus_message_get_sender(found) : nullptr;
                      if (owner != nullptr && owner[0] == ':' &&
                          sd_bus_message_read(found, "t", &handle) >= 0 && handle != 0) {
                          outcome.Set(Found{owner, handle, false});
                      } else {
                          outcome.Set(Found{{}, 0, Unanswered(error)});
                      }
                  });
    });
    if (!queued) {
        return nullptr;
    }
    Found found = outcome.Wait();
    if (found.handle != 0) {
        HWND window = RememberRemote(found.owner, found.handle);
        std::lock_guard lock(m_mutex);
        if (window != nullptr) {
            m_lastFound[name] = window;
        } else {
            m_lastFound.erase(name);
        }
        return window;
    }
    if (!found.unanswered) {
        return nullptr;
    }
    // Unanswered is not absent: the owner is still on the bus (its window
    // would be marked gone otherwise), so a send to the window found before
    // waits for it like any send to a busy window, instead of being dropped.
    std::lock_guard lock(m_mutex);
    auto last = m_lastFound.find(name);
    if (last == m_lastFound.end()) {
        return nullptr;
    }
    const std::uint32_t index = RemoteWindowIndex(last->second);
    if (index == 0 || index > m_remotes.size() || m_remotes[index - 1].gone) {
        m_lastFound.erase(last);
        return nullptr;
    }
    BusLog(fmt::format("{} did not answer a window lookup; taking the window it had", name));
    return last->second;
}

bool BusWindowTransport::PostMessage(HWND remote, UINT message, WPARAM wParam, LPARAM lParam) {
    RemoteWindow target;
    if (!RemoteTarget(remote, &target)) {
        return false;
    }
    if (!MayCrossProcesses(message)) {
        BusLog(
            fmt::format("message 0x{:X} carries pointers; not posted to another process", message));
        return false;
    }
    return m_thread.Post([this, target, message, wParam, lParam](sd_bus* bus) {
        auto call = NewCall(bus, target.owner, ObjectPath(target.handle), kWindowInterface, "Post");
        if (call == nullptr ||
            sd_bus_message_append(call.get(), "utx", static_cast<std::uint32_t>(message),
                                  static_cast<std::uint64_t>(wParam),
                                  static_cast<std::int64_t>(lParam)) < 0 ||
            sd_bus_message_set_expect_reply(call.get(), 0) < 0 ||
            sd_bus_send(m_bus, call.get(), nullptr) < 0) {
            BusLog(fmt::format("cannot post message 0x{:X} to {}", message, target.owner));
        }
    });
}

LRESULT BusWindowTransport::SendMessage(HWND remote, UINT message, WPARAM wParam, LPARAM lParam) {
    SendReply reply;
    if (!SendAndWait(remote, message, wParam, lParam, SMTO_NORMAL, INFINITE, reply)) {
        return 0;
    }
    return reply.Result();
}

bool BusWindowTransport::SendMessageTimeout(HWND remote, UINT message, WPARAM wParam, LPARAM lParam,
                                            UINT flags, DWORD timeoutMs, LRESULT* result) {
    SendReply reply;
    if (!SendAndWait(remote, message, wParam, lParam, flags, timeoutMs, reply)) {
        return false;
    }
    if (!reply.Answered()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    *result = reply.Result();
    return true;
}

bool BusWindowTransport::SendAndWait(HWND remote, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT flags, DWORD timeoutMs, const SendReply& reply) {
    RemoteWindow target;
    if (!RemoteTarget(remote, &target) || m_thread.OnBusThread()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if ((flags & SMTO_ABORTIFHUNG) != 0) {
        std::lock_guard lock(m_mutex);
        if (m_hung.contains(target.owner)) {
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
    }
    bool copyData = message == WM_COPYDATA;
    std::vector<BYTE> bytes;
    ULONG_PTR kind = 0;
    if (copyData) {
        const auto* record = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (record == nullptr || (record->cbData > 0 && record->lpData == nullptr)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        if (record->cbData > kMaxCopyDataBytes) {
            BusLog(fmt::format(
                "WM_COPYDATA of {} bytes refused: at most {} bytes cross to another process",
                record->cbData, kMaxCopyDataBytes));
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        const auto* data = static_cast<const BYTE*>(record->lpData);
        bytes.assign(data, data + record->cbData);
        kind = record->dwData;
    } else if (!MayCrossProcesses(message)) {
        BusLog(
            fmt::format("message 0x{:X} carries pointers; not sent to another process", message));
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    bool queued = m_thread.Post([=, this, bytes = std::move(bytes)](sd_bus* bus) {
        auto call = NewCall(bus, target.owner, ObjectPath(target.handle), kWindowInterface,
                            copyData ? "SendCopyData" : "Send");
        int appended = -EINVAL;
        if (call != nullptr && copyData) {
            appended = sd_bus_message_append(call.get(), "ttu", static_cast<std::uint64_t>(wParam),
                                             static_cast<std::uint64_t>(kind),
                                             static_cast<std::uint32_t>(bytes.size()));
            if (appended >= 0) {
                appended = sd_bus_message_append_array(call.get(), 'y', bytes.data(), bytes.size());
            }
        } else if (call != nullptr) {
            appended = sd_bus_message_append(call.get(), "utx", static_cast<std::uint32_t>(message),
                                             static_cast<std::uint64_t>(wParam),
                                             static_cast<std::int64_t>(lParam));
        }
        if (appended < 0) {
            reply.Fail();
            return;
        }
        std::uint64_t id = m_nextSend++;
        m_pendingSends.emplace(id, PendingSend{target.owner, reply});
        CallAsync(call.get(), kSendTimeoutUsec,
                  [this, id, reply, message](sd_bus_message* answer, const sd_bus_error* error) {
                      m_pendingSends.erase(id);
                      std::int64_t result = 0;
                      if (answer == nullptr || sd_bus_message_read(answer, "x", &result) < 0) {
                          BusLog(fmt::format("send of message 0x{:X} got no answer: {}", message,
                                             ErrorText(error)));
                          reply.Fail();
                          return;
                      }
                      reply.Complete(static_cast<LRESULT>(result));
                  });
    });
    if (!queued) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    const WhileWaiting what =
        (flags & SMTO_BLOCK) != 0 ? WhileWaiting::HandleNothing : WhileWaiting::HandleSends;
    if (WaitForReply(reply, timeoutMs, what)) {
        return true;
    }
    // HeardFrom takes this lock only after the reply is completed, so an
    // answer racing the time-out is either seen here or clears the mark
    // right after it is set.
    std::lock_guard lock(m_mutex);
    if (reply.IsComplete()) {
        return true;
    }
    // The call stays pending: its late answer is dropped, and tells that the
    // process runs again.
    if (m_hung.insert(target.owner).second) {
        BusLog(fmt::format("{} let a send of message 0x{:X} time out; hung until it answers again",
                           target.owner, message));
    }
    SetLastError(ERROR_TIMEOUT);
    return false;
}

void BusWindowTransport::PostBroadcast(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!MayCrossProcesses(message)) {
        BusLog(fmt::format("broadcast 0x{:X} carries pointers; kept in this process", message));
        return;
    }
    m_thread.Post([this, message, wParam, lParam](sd_bus* bus) {
        if (m_bus == nullptr ||
            sd_bus_emit_signal(bus, kWindowsPath, kWindowsInterface, "Broadcast", "utx",
                               static_cast<std::uint32_t>(message),
                               static_cast<std::uint64_t>(wParam),
                               static_cast<std::int64_t>(lParam)) < 0) {
            BusLog(fmt::format("cannot broadcast message 0x{:X}", message));
        }
    });
}

UINT BusWindowTransport::RegisterWindowMessage(std::u16string_view name) {
    return RegisteredMessageNumber(name);
}

void BusWindowTransport::OnWindowTitleChanged(HWND window, std::u16string_view title) {
    ChangeTitle(window, std::u16string(title));
}

void BusWindowTransport::OnWindowDestroyed(HWND window) {
    ChangeTitle(window, std::u16string());
}

void BusWindowTransport::ChangeTitle(HWND window, std::u16string title) {
    if (m_thread.OnBusThread()) {
        return;
    }
    // Waiting until the bus confirmed the name means a window is findable
    // from other processes as soon as its creation (or retitling) returns,
    // and no longer findable once it is destroyed.
    Outcome<bool> done;
    auto finish = [done] { done.Set(true); };
    bool queued = m_thread.Post([this, window, title, finish](sd_bus*) {
        std::string oldName;
        std::string newName;
        if (auto it = m_titled.find(window); it != m_titled.end()) {
            oldName = BusNameForTitle(it->second);
        }
        if (title.empty()) {
            m_titled.erase(window);
        } else {
            m_titled[window] = title;
            newName = BusNameForTitle(title);
        }
        if (oldName == newName) {
            finish();
            return;
        }
        if (!oldName.empty()) {
            ReleaseName(oldName, newName.empty() ? std::function<void()>(finish) : nullptr);
        }
        if (!newName.empty()) {
            AcquireName(newName, finish);
        }
    });
    if (queued) {
        done.Wait();
    }
}

}  // namespace platform
