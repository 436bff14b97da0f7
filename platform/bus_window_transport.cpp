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
// Lookups are answered by the bus daemon or by bus threads, never by window
// procedures, so sd-bus's default limit (0 selects it) only matters when the
// bus itself is stuck, or for a lookup by class, when the owner is.
constexpr std::uint64_t kLookupTimeoutUsec = 0;

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

// Why `message` stays in this process; null when it may leave it.
const char* KeptHome(UINT message) {
    if (!MayCrossProcesses(message)) {
        return "carries pointers";
    }
    // A thread ends its own loop (PostQuitMessage); from another process
    // WM_QUIT would end a program without its shutdown sequence, and
    // receivers refuse it.
    if (message == WM_QUIT) {
        return "ends only the loop of the thread that posts it";
    }
    return nullptr;
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
    // Read afresh at each start, so that a test's own runtime folder counts.
    m_messages.Open(RegisteredMessageTable::DefaultPath());
    if (result < 0) {
        *error = std::strerror(-result);
        return false;
    }
    return true;
}

void BusWindowTransport::Stop() {
    m_thread.Stop([this](sd_bus*) { Teardown(); });
}

void BusWindowTransport::SetLostHandler(std::function<void()> onLost) {
    std::lock_guard lock(m_mutex);
    m_onLost = std::move(onLost);
}

std::size_t BusWindowTransport::RemoteWindowCount() {
    std::lock_guard lock(m_mutex);
    return m_remotes.size();
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
    for (auto& [id, pending] : m_pendingSends) {
        pending.reply.Fail();
    }
    m_pendingSends.clear();
    m_titled.clear();
    m_nameUses.clear();
    OnConnectionGone();
}

void BusWindowTransport::OnDisconnected() {
    BusLog("lost the bus connection; only this process's windows are visible from now on");
    for (auto& [id, pending] : m_pendingSends) {
        pending.reply.Fail();
    }
    OnConnectionGone();
    std::function<void()> onLost;
    {
        std::lock_guard lock(m_mutex);
        onLost = m_onLost;
    }
    if (onLost) {
        onLost();
    }
}

// Whatever the connection carried goes with it; null m_bus also keeps later
// work from reporting, once per item, what the loss already said.
void BusWindowTransport::OnConnectionGone() {
    m_bus = nullptr;
    for (auto& [id, call] : m_inbound) {
        sd_bus_message_unref(call.reply);
    }
    m_inbound.clear();
    m_inboundLoad.clear();
    BusLogForgetSenders();
    std::lock_guard lock(m_mutex);
    m_remotes.clear();
    m_remoteIndex.clear();
    m_hung.clear();
}

void BusWindowTransport::ForgetOwner(const std::string& owner) {
    for (auto& [id, pending] : m_pendingSends) {
        if (pending.owner == owner) {
            pending.reply.Fail();
        }
    }
    BusLogSenderLeft(owner);
    std::lock_guard lock(m_mutex);
    ForgetRemotesLocked([&owner](const RemoteWindow& remote) { return remote.owner == owner; });
    m_hung.erase(owner);
}

void BusWindowTransport::ForgetRemotesLocked(const std::function<bool(const RemoteWindow&)>& gone) {
    std::erase_if(m_remotes, [&](const auto& entry) {
        if (!gone(entry.second)) {
            return false;
        }
        m_remoteIndex.erase(std::make_pair(entry.second.owner, entry.second.path));
        return true;
    });
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
    if (m_bus == nullptr) {
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
    if (!IsRemoteWindow(remote)) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    auto it = m_remotes.find(RemoteWindowIndex(remote));
    if (it == m_remotes.end()) {
        return false;
    }
    *target = it->second;
    return true;
}

HWND BusWindowTransport::RememberRemote(RemoteWindow window) {
    std::lock_guard lock(m_mutex);
    auto key = std::make_pair(window.owner, window.path);
    // Gone windows are forgotten, so an entry found is a live one; a new bus
    // after a lost connection, which gives unique names anew, starts with an
    // empty table.
    if (auto it = m_remoteIndex.find(key); it != m_remoteIndex.end()) {
        return MakeRemoteWindow(it->second);
    }
    if (m_nextRemote > kRemoteWindowIndexMask) {
        return nullptr;
    }
    const std::uint32_t index = m_nextRemote++;
    m_remoteIndex.emplace(key, index);
    m_remotes.emplace(index, std::move(window));
    return MakeRemoteWindow(index);
}

std::vector<std::string> BusWindowTransport::AskBusDaemon(const char* member,
                                                          const std::string& name) {
    if (m_thread.OnBusThread()) {
        return {};
    }
    Outcome<std::vector<std::string>> outcome;
    bool queued = m_thread.Post([this, member, name, outcome](sd_bus* bus) {
        auto call = NewCall(bus, kBusService, kBusPath, kBusService, member);
        if (call == nullptr || sd_bus_message_append(call.get(), "s", name.c_str()) < 0) {
            outcome.Set({});
            return;
        }
        // An error (NameHasNoOwner) means no owner.
        CallAsync(call.get(), kLookupTimeoutUsec,
                  [outcome](sd_bus_message* reply, const sd_bus_error*) {
                      std::vector<std::string> names;
                      const char* text = nullptr;
                      if (reply != nullptr && sd_bus_message_has_signature(reply, "s")) {
                          if (sd_bus_message_read(reply, "s", &text) >= 0) {
                              names.emplace_back(text);
                          }
                      } else if (reply != nullptr &&
                                 sd_bus_message_enter_container(reply, 'a', "s") > 0) {
                          while (sd_bus_message_read(reply, "s", &text) > 0) {
                              names.emplace_back(text);
                          }
                      }
                      outcome.Set(std::move(names));
                  });
    });
    return queued ? outcome.Wait() : std::vector<std::string>();
}

std::optional<std::u16string> BusWindowTransport::TitleObjectClass(const std::string& owner,
                                                                   const std::string& path) {
    Outcome<std::optional<std::u16string>> outcome;
    bool queued = m_thread.Post([this, owner, path, outcome](sd_bus* bus) {
        auto call = NewCall(bus, owner, path, kPropertiesInterface, "Get");
        if (call == nullptr ||
            sd_bus_message_append(call.get(), "ss", kWindowInterface, "ClassName") < 0) {
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
    return queued ? outcome.Wait() : std::nullopt;
}

bool BusWindowTransport::StillOwnsTitle(HWND remote, RemoteWindow* target) {
    if (!RemoteTarget(remote, target)) {
        return false;
    }
    // Queued owners count too: a window sharing its title with another
    // process's window is there, even if not the one a lookup finds first.
    const std::vector<std::string> owners = AskBusDaemon("ListQueuedOwners", target->titleName);
    return std::ranges::find(owners, target->owner) != owners.end();
}

bool BusWindowTransport::IsWindow(HWND remote) {
    RemoteWindow target;
    return StillOwnsTitle(remote, &target);
}

bool BusWindowTransport::GetWindowText(HWND remote, std::u16string* title) {
    RemoteWindow target;
    if (!StillOwnsTitle(remote, &target)) {
        return false;
    }
    *title = target.title;
    return true;
}

HWND BusWindowTransport::FindWindow(LPCWSTR className, LPCWSTR title) {
    // A bus name exists only for a title, so only titled lookups can leave
    // the process.
    if (title == nullptr || title[0] == u'\0' || m_thread.OnBusThread()) {
        return nullptr;
    }
    RemoteWindow found;
    found.title = title;
    found.titleName = BusNameForTitle(found.title);
    const std::vector<std::string> owner = AskBusDaemon("GetNameOwner", found.titleName);
    if (owner.size() != 1 || !owner.front().starts_with(':')) {
        return nullptr;
    }
    found.owner = owner.front();
    found.path = TitleObjectPath(found.title);
    const std::u16string wantedClass = className != nullptr ? className : u"";
    // Only the owner knows its windows' classes. The front window of the
    // title keeps the handle a lookup without a class gives; a window behind
    // it is reached through the object of its class. A hashed name may also
    // belong to another title, which the title object then refuses to
    // answer for, as for a window gone meanwhile.
    if (!wantedClass.empty()) {
        const auto frontClass = TitleObjectClass(found.owner, found.path);
        if (!frontClass) {
            return nullptr;
        }
        if (!EqualsNoCase(*frontClass, wantedClass)) {
            found.path = TitleObjectPath(found.title, wantedClass);
            if (!TitleObjectClass(found.owner, found.path)) {
                return nullptr;
            }
        }
    }
    return RememberRemote(std::move(found));
}

bool BusWindowTransport::PostMessage(HWND remote, UINT message, WPARAM wParam, LPARAM lParam) {
    RemoteWindow target;
    if (!RemoteTarget(remote, &target)) {
        return false;
    }
    if (const char* why = KeptHome(message)) {
        BusLog(fmt::format("message 0x{:X} {}; not posted to another process", message, why));
        return false;
    }
    return m_thread.Post([this, target, message, wParam, lParam](sd_bus* bus) {
        if (m_bus == nullptr) {
            return;
        }
        auto call = NewCall(bus, target.owner, target.path, kWindowInterface, "Post");
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
    } else if (const char* why = KeptHome(message)) {
        BusLog(fmt::format("message 0x{:X} {}; not sent to another process", message, why));
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    bool queued = m_thread.Post([=, this, bytes = std::move(bytes)](sd_bus* bus) {
        auto call = NewCall(bus, target.owner, target.path, kWindowInterface,
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
    if (const char* why = KeptHome(message)) {
        BusLog(fmt::format("broadcast 0x{:X} {}; kept in this process", message, why));
        return;
    }
    m_thread.Post([this, message, wParam, lParam](sd_bus* bus) {
        if (m_bus == nullptr) {
            return;
        }
        if (sd_bus_emit_signal(bus, kWindowsPath, kWindowsInterface, "Broadcast", "utx",
                               static_cast<std::uint32_t>(message),
                               static_cast<std::uint64_t>(wParam),
                               static_cast<std::int64_t>(lParam)) < 0) {
            BusLog(fmt::format("cannot broadcast message 0x{:X}", message));
        }
    });
}

UINT BusWindowTransport::RegisterWindowMessage(std::u16string_view name) {
    // Without the table the process numbers the name itself.
    return m_messages.Register(name).value_or(0);
}

void BusWindowTransport::WithdrawTitle(HWND window, const std::u16string& newTitle) {
    auto it = m_titled.find(window);
    if (m_bus == nullptr || it == m_titled.end() || it->second == newTitle) {
        return;
    }
    for (const auto& [other, title] : m_titled) {
        if (other != window && title == it->second) {
            return;
        }
    }
    // Sent before the answer to a send that destroyed the window, and the bus
    // keeps one sender's order: the sender's handle is gone when its send
    // returns.
    if (sd_bus_emit_signal(m_bus, TitleObjectPath(it->second).c_str(), kWindowInterface, "Gone",
                           "") < 0) {
        BusLog(fmt::format("cannot announce that the title {} is gone", ToUtf8(it->second)));
    }
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
        WithdrawTitle(window, title);
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
