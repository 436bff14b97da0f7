// The window transport over D-Bus.
//
// Each titled top-level window of the process owns (queued) the well-known
// name its title gives (bus_names.h) and is served as an object below
// /org/dmbtpeg/windows, and through the title object of its title below
// /org/dmbtpeg/titles. A remote window is the title object of one process:
// FindWindow asks only the bus daemon who owns the title's name, so a lookup
// never waits for the window's own process, stopped or hung as it may be.
// Sends are asynchronous calls the sending thread waits for with
// WaitForReply; the receiving process answers from its bus thread once the
// window's thread has run the procedure. Everything received is checked
// before it reaches a window; what fails gets an error reply and a log line.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/bus_thread.h"
#include "platform/bus_window_calls.h"
#include "platform/registered_message_table.h"
#include "platform/window_transport.h"

namespace platform {

class BusWindowTransport final : public WindowTransport {
  public:
    BusWindowTransport() = default;
    ~BusWindowTransport() override;

    // Connects to the selected bus and starts serving; false with a reason in
    // `*error` when no bus is reachable.
    bool Start(std::string* error);
    // Drops the connection: sends in flight return 0, names are released.
    void Stop();
    // Runs `onLost` once, on the bus thread, when the connection is lost
    // other than by Stop. Any thread; null removes it.
    void SetLostHandler(std::function<void()> onLost);
    // Windows of other processes the table holds: found, and neither
    // destroyed (nor retitled) nor gone with their process since.
    std::size_t RemoteWindowCount();

    // Sends from other processes that may wait for one thread of this
    // process at once. A sending thread waits for its answer, so a process
    // that uses the bus as intended has one send waiting per sending thread,
    // plus those whose time-out passed: a few, far below 256. 4 MiB holds 64
    // WM_COPYDATA records of the largest size. A waiting send costs its copy
    // data and well under a KiB besides, so a thread's senders can hold at
    // most about 4.3 MiB of this process; beyond either bound a send is
    // refused (LimitsExceeded), as posts beyond kPostedMessageLimit are.
    static constexpr std::size_t kMaxWaitingSends = 256;
    static constexpr std::size_t kMaxWaitingSendBytes = 4 * 1024 * 1024;

    bool IsWindow(HWND remote) override;
    bool GetWindowText(HWND remote, std::u16string* title) override;
    HWND FindWindow(LPCWSTR className, LPCWSTR title) override;
    bool PostMessage(HWND remote, UINT message, WPARAM wParam, LPARAM lParam) override;
    LRESULT SendMessage(HWND remote, UINT message, WPARAM wParam, LPARAM lParam) override;
    bool SendMessageTimeout(HWND remote, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                            DWORD timeoutMs, LRESULT* result) override;
    void PostBroadcast(UINT message, WPARAM wParam, LPARAM lParam) override;
    UINT RegisterWindowMessage(std::u16string_view name) override;
    void OnWindowTitleChanged(HWND window, std::u16string_view title) override;
    void OnWindowDestroyed(HWND window) override;

  private:
    // The window titled `title` (of the class named in `path`, if any) of the
    // process `owner`: whichever of its windows answers to the title object
    // when a call arrives.
    struct RemoteWindow {
        std::string owner;
        std::string path;
        std::string titleName;
        std::u16string title;
    };
    struct PendingSend {
        std::string owner;
        SendReply reply;
    };
    // Runs with the reply, or with null (and the error, when there is one)
    // when the call failed or the connection closed first; exactly once.
    using ReplyHandler = std::function<void(sd_bus_message* reply, const sd_bus_error* error)>;

    // Any thread.
    bool RemoteTarget(HWND remote, RemoteWindow* target);
    HWND RememberRemote(RemoteWindow window);
    // Answered by the bus daemon alone: the unique names GetNameOwner or
    // ListQueuedOwners give for `name`, none when it has no owner.
    std::vector<std::string> AskBusDaemon(const char* member, const std::string& name);
    // The class of the window a title object of `owner` stands for; nullopt
    // for none. A call to the owner, for lookups by class only.
    std::optional<std::u16string> TitleObjectClass(const std::string& owner,
                                                   const std::string& path);
    // The window still exists: its process still holds the title's name.
    bool StillOwnsTitle(HWND remote, RemoteWindow* target);
    // Sends and waits for `reply` to complete; false with the last error set
    // when the send was refused, aborted or timed out.
    bool SendAndWait(HWND remote, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                     DWORD timeoutMs, const SendReply& reply);
    void ChangeTitle(HWND window, std::u16string title);

    // Bus thread (bus_window_transport.cpp).
    int Setup(sd_bus* bus);
    void Teardown();
    void OnDisconnected();
    void OnConnectionGone();
    void CallAsync(sd_bus_message* call, std::uint64_t timeoutUsec, ReplyHandler onReply);
    void AcquireName(const std::string& name, std::function<void()> done);
    void ReleaseName(const std::string& name, std::function<void()> done);
    void ForgetOwner(const std::string& owner);
    // Any answer (a reply or an error) came from the process `sender`.
    void HeardFrom(const char* sender);
    // `window` is about to be served under `newTitle` (empty: no more):
    // tells the other processes when no served window answers to its old
    // title any more, so that their handles for it fail at once.
    void WithdrawTitle(HWND window, const std::u16string& newTitle);
    // m_mutex held.
    void ForgetRemotesLocked(const std::function<bool(const RemoteWindow&)>& gone);

    // Bus thread, serving calls (bus_window_objects.cpp). Window objects and
    // title objects share one interface and these handlers.
    static int Filter(sd_bus_message* message, void* userdata, sd_bus_error* error);
    // The served window an object path stands for: a window object's own, or
    // the front-most one a title object names, resolved when asked; null for
    // none.
    HWND WindowAt(const char* path) const;
    static int FindObject(sd_bus* bus, const char* path, const char* interface, void* userdata,
                          void** found, sd_bus_error* error);
    static int FindRoot(sd_bus* bus, const char* path, const char* interface, void* userdata,
                        void** found, sd_bus_error* error);
    static int EnumerateObjects(sd_bus* bus, const char* prefix, void* userdata, char*** nodes,
                                sd_bus_error* error);
    static int EnumerateTitleObjects(sd_bus* bus, const char* prefix, void* userdata, char*** nodes,
                                     sd_bus_error* error);
    static int OnSend(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int OnSendCopyData(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int OnPost(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int OnFind(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int GetTitle(sd_bus* bus, const char* path, const char* interface, const char* property,
                        sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int GetClassName(sd_bus* bus, const char* path, const char* interface,
                            const char* property, sd_bus_message* reply, void* userdata,
                            sd_bus_error* error);
    static int OnBroadcast(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int OnTitleGone(sd_bus_message* message, void* userdata, sd_bus_error* error);
    // The front-most served window with `title` (and `className`, when not
    // empty); null for none. Takes the window lock.
    HWND FrontWindowTitled(const std::u16string& title, const std::u16string& className) const;
    // Points a call read from a window or title object at the window its
    // path stands for now; a refusal when there is none.
    IncomingMessage AimAtPath(sd_bus_message* message, IncomingMessage read) const;
    int DeliverCall(sd_bus_message* message, sd_bus_error* error, IncomingMessage read);
    static int OnNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
    int RegisterObjects(sd_bus* bus);
    void DeliverAndAnswer(sd_bus_message* call, InboundSend inbound);
    void Answer(std::uint64_t id, LRESULT result);

    BusThread m_thread;

    // Bus thread only.
    sd_bus* m_bus = nullptr;
    std::string m_uniqueName;
    std::map<HWND, std::u16string> m_titled;
    std::map<std::string, int> m_nameUses;
    // Sends from other processes waiting for a window's thread: the reply
    // prepared for each, and the load per receiving thread.
    struct InboundSendCall {
        sd_bus_message* reply = nullptr;
        DWORD thread = 0;
        std::size_t bytes = 0;
    };
    struct ThreadLoad {
        std::size_t sends = 0;
        std::size_t bytes = 0;
    };
    std::map<std::uint64_t, InboundSendCall> m_inbound;
    std::map<DWORD, ThreadLoad> m_inboundLoad;
    std::map<std::uint64_t, PendingSend> m_pendingSends;
    std::uint64_t m_nextInbound = 1;
    std::uint64_t m_nextSend = 1;

    std::mutex m_mutex;
    // By the index in their handle. Indexes are never given twice, so a handle
    // whose window is forgotten stays invalid rather than reaching another.
    std::map<std::uint32_t, RemoteWindow> m_remotes;
    std::uint32_t m_nextRemote = 1;
    // By owner and object path.
    std::map<std::pair<std::string, std::string>, std::uint32_t> m_remoteIndex;
    // Unique names of processes that let a send time out and have not
    // answered anything since: SMTO_ABORTIFHUNG sends to them fail at once,
    // so a stopped process costs one time-out rather than one per message.
    std::set<std::string> m_hung;
    std::function<void()> m_onLost;

    RegisteredMessageTable m_messages;
};

}  // namespace platform
