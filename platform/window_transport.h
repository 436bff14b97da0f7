// The seam through which windows of other processes are reached.
//
// A transport (the bus) installs itself once per process. Windows of other
// processes then appear as HWND values tagged with kRemoteWindowTag, chosen by
// the transport; the window functions route those to it. Without a transport
// every remote handle is unknown and the process sees only its own windows.
//
// The transport is always called without any platform lock held, on the
// thread that made the call or the change. It must never call back into the
// window system from inside those calls in a way that waits for another
// thread to do the same (deliver from its own bus thread instead).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/types.h"

namespace platform {

inline constexpr std::uintptr_t kRemoteWindowTag = 0x80000000u;
inline constexpr std::uint32_t kRemoteWindowIndexMask = 0x7FFFFFFFu;

// Remote handles are 32-bit values with the top bit set, so they fit the bus's
// 32-bit handle field and never collide with local handles or the special
// values (HWND_BROADCAST, HWND_TOPMOST, ...).
inline bool IsRemoteWindow(HWND hwnd) {
    auto value = reinterpret_cast<std::uintptr_t>(hwnd);
    return (value & ~std::uintptr_t{kRemoteWindowIndexMask}) == kRemoteWindowTag;
}
// `index` must be nonzero and at most kRemoteWindowIndexMask.
inline HWND MakeRemoteWindow(std::uint32_t index) {
    return reinterpret_cast<HWND>(kRemoteWindowTag | (index & kRemoteWindowIndexMask));
}
inline std::uint32_t RemoteWindowIndex(HWND hwnd) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hwnd)) &
           kRemoteWindowIndexMask;
}

class WindowTransport {
  public:
    virtual ~WindowTransport() = default;

    // Questions about remote windows.
    virtual bool IsWindow(HWND remote) = 0;
    // False if the window is unknown or gone.
    virtual bool GetWindowText(HWND remote, std::u16string* title) = 0;
    // Asked only when no local window matches; null args match anything.
    virtual HWND FindWindow(LPCWSTR className, LPCWSTR title) = 0;

    // Must not block. WM_COPYDATA never reaches it.
    virtual bool PostMessage(HWND remote, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // Blocks the calling thread until the remote procedure returns, via
    // WaitForReply so that messages sent to this thread are still handled.
    // For WM_COPYDATA lParam points to a COPYDATASTRUCT whose bytes the
    // transport copies; it fails (0) a record larger than it can carry.
    // Returns 0 when the window or its process is gone.
    virtual LRESULT SendMessage(HWND remote, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // As SendMessage, waiting at most `timeoutMs` platform milliseconds, with
    // SMTO_* `flags` (message_queue.h). True with `*result` when the procedure
    // answered; otherwise false with the last error set: ERROR_TIMEOUT when
    // the time ran out or (SMTO_ABORTIFHUNG) the process counts as hung,
    // ERROR_INVALID_WINDOW_HANDLE when the window or its process is gone.
    virtual bool SendMessageTimeout(HWND remote, UINT message, WPARAM wParam, LPARAM lParam,
                                    UINT flags, DWORD timeoutMs, LRESULT* result) = 0;
    // A broadcast posted in this process: tell the other processes. Local
    // windows have already received it; an echo of it must not be delivered
    // back here.
    virtual void PostBroadcast(UINT message, WPARAM wParam, LPARAM lParam) = 0;

    // Number for a registered message name, agreed between processes; 0 lets
    // the local table number it.
    virtual UINT RegisterWindowMessage(std::u16string_view name) = 0;

    // A top-level window of this process got a title (at creation or later;
    // an empty title means it has none any more).
    virtual void OnWindowTitleChanged(HWND window, std::u16string_view title) = 0;
    // A top-level window of this process that was reported titled is gone.
    virtual void OnWindowDestroyed(HWND window) = 0;
};

// Installs `transport` for the process (null removes it). The caller keeps it
// alive while installed and removes it only when no call can be in flight.
// Titled top-level windows that exist already are announced to it at once.
void InstallWindowTransport(WindowTransport* transport);
WindowTransport* GetWindowTransport();

namespace detail {
struct ReplyState;
}

// What a thread waiting for a reply does with the messages sent to it.
enum class WhileWaiting { HandleSends, HandleNothing };

// The answer to an outgoing send, completed from any thread (typically the
// bus thread when the reply arrives). Copies share the same answer.
class SendReply {
  public:
    SendReply();
    // The procedure's answer. Only the first completion (of either kind)
    // counts.
    void Complete(LRESULT result) const;
    // No answer will come (the receiver or the connection went first); the
    // result is 0.
    void Fail() const;
    bool IsComplete() const;
    // Completed by Complete rather than Fail.
    bool Answered() const;
    LRESULT Result() const;

  private:
    friend bool WaitForReply(const SendReply& reply, DWORD ms, WhileWaiting what);
    std::shared_ptr<detail::ReplyState> m_state;
};

// Blocks the calling thread until `reply` is completed, dispatching meanwhile
// the messages sent to this thread's windows (never posted ones or timers),
// or none with HandleNothing. False when `ms` platform milliseconds (scaled)
// passed first.
bool WaitForReply(const SendReply& reply, DWORD ms = INFINITE,
                  WhileWaiting what = WhileWaiting::HandleSends);

// A message from another process for a local window, to be handled as a sent
// message on the window's thread.
struct InboundSend {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    // WM_COPYDATA: lParam is replaced by a COPYDATASTRUCT {copyDataKind,
    // size, bytes} that points into these bytes, valid during the call.
    ULONG_PTR copyDataKind = 0;
    std::vector<BYTE> copyData;
};

// Queues `message` for its window's thread and returns at once (when called
// on that thread itself, the procedure runs right away). `onDone` is called
// exactly once with the result, on the window's thread, or with 0 on the
// calling thread when the window does not exist, or later when it is
// destroyed or its thread ends before handling the message.
void DeliverSentMessage(InboundSend message, std::function<void(LRESULT)> onDone);

// A posted message from another process; as PostMessage to a local window.
bool DeliverPostedMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A broadcast from another process: posted to every local top-level window.
void DeliverBroadcast(UINT message, WPARAM wParam, LPARAM lParam);

// Marks a message number as one that only this process's own threads send,
// such as an event raised by a library thread whose parameters name what it
// waits for. From then on, another process's Send, Post or Broadcast of it is
// refused before it reaches a window. At most kMaxInProcessMessages numbers.
inline constexpr std::size_t kMaxInProcessMessages = 16;
bool KeepMessageInProcess(UINT message);
bool IsKeptInProcess(UINT message);

}  // namespace platform
