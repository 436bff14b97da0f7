// The window transport over D-Bus.
//
// Each titled top-level window of the process owns (queued) the well-known
// name its title gives (bus_names.h) and is served as an object below
// /org/dmbtpeg/windows; remote windows are found through the names' owners.
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
#include <set>
#include <string>
#include <vector>

#include "platform/bus_thread.h"
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
    struct RemoteWindow {
        std::string owner;
        std::uint64_t handle = 0;
        bool gone = false;
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
    HWND RememberRemote(const std::string& owner, std::uint64_t handle);
    bool QueryTitle(HWND remote, std::u16string* title);
    // Sends and waits for `reply` to complete; false with the last error set
    // when the send was refused, aborted or timed out.
    bool SendAndWait(HWND remote, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                     DWORD timeoutMs, const SendReply& reply);
    void ChangeTitle(HWND window, std::u16string title);

    // Bus thread (bus_window_transport.cpp).
    int Setup(sd_bus* bus);
    void Teardown();
    void OnDisconnected();
    void CallAsync(sd_bus_message* call, std::uint64_t timeoutUsec, ReplyHandler onReply);
    void AcquireName(const std::string& name, std::function<void()> done);
    void ReleaseName(const std::string& name, std::function<void()> done);
    void ForgetOwner(const std::string& owner);
    // Any answer (a reply or an error) came from the process `sender`.
    void HeardFrom(const char* sender);

    // Bus thread, serving calls (bus_window_objects.cpp).
    static int Filter(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int FindObject(sd_bus* bus, const char* path, const char* interface, void* userdata,
                          void** found, sd_bus_error* error);
    static int FindRoot(sd_bus* bus, const char* path, const char* interface, void* userdata,
                        void** found, sd_bus_error* error);
    static int EnumerateObjects(sd_bus* bus, const char* prefix, void* userdata, char*** nodes,
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
    std::map<std::uint64_t, sd_bus_message*> m_inbound;
    std::map<std::uint64_t, PendingSend> m_pendingSends;
    std::uint64_t m_nextInbound = 1;
    std::uint64_t m_nextSend = 1;

    std::mutex m_mutex;
    std::vector<RemoteWindow> m_remotes;
    std::map<std::pair<std::string, std::uint64_t>, std::uint32_t> m_remoteIndex;
    // The window each title's name last led to, for a lookup its owner does
    // not answer (a process stopped by a debugger or a job-control signal).
    std::map<std::string, HWND> m_lastFound;
    // Unique names of processes that let a send time out and have not
    // answered anything since: SMTO_ABORTIFHUNG sends to them fail at once,
    // so a stopped process costs one time-out rather than one per message.
    std::set<std::string> m_hung;
};

}  // namespace platform
