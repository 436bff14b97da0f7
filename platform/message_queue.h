// Per-thread message queues: retrieval, posting and synchronous sends.
//
// Every thread that calls one of these functions (or creates a window) gets a
// queue of sent messages, posted messages, a quit request and timers.
// GetMessage and PeekMessage first dispatch every pending sent message, then
// return posted messages in the order posted, then the quit request, then a
// due timer as WM_TIMER. GetMessage blocks without polling until one of these
// arrives. A thread blocked anywhere else (a kernel wait, a sleep) handles no
// sent message until it calls one of these functions again.
#pragma once

#include "platform/types.h"
#include "platform/window_messages.h"

namespace platform {

// Returns 0 for WM_QUIT (wParam holds the exit code), -1 if `hwnd` is neither
// null nor a window of this thread, otherwise nonzero. With a non-null hwnd
// only that window's messages are returned; with a nonzero range only
// messages inside it. WM_QUIT is returned whatever the filter.
BOOL GetMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);

// As GetMessage without blocking: TRUE when a message was returned. With
// PM_NOREMOVE the message stays queued (a timer stays due, the quit request
// stays pending). Sent messages are dispatched in either case.
BOOL PeekMessage(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);

inline constexpr UINT QS_POSTMESSAGE = 0x0008;
inline constexpr UINT QS_TIMER = 0x0010;
inline constexpr UINT QS_SENDMESSAGE = 0x0040;
inline constexpr UINT QS_ALLPOSTMESSAGE = 0x0100;

// What the calling thread's queue holds now, among `flags`: posted messages
// (or a quit request), due timers, pending sent messages. Nothing is
// dispatched. The same bits are reported in both halves of the result (there
// is no "new since the last call" tracking).
DWORD GetQueueStatus(UINT flags);

// Calls the procedure of msg->hwnd, which must belong to this thread; a
// WM_TIMER carrying a timer procedure calls that instead. Thread messages and
// messages of destroyed windows return 0.
LRESULT DispatchMessage(const MSG* msg);

// Asks the calling thread's loop to end: GetMessage returns WM_QUIT once the
// posted messages already queued (and any posted later) have been returned.
void PostQuitMessage(int exitCode);

// Never blocks. `hwnd` null posts a thread message to the calling thread;
// HWND_BROADCAST posts to every top-level window, those of other processes
// included. Fails with ERROR_INVALID_WINDOW_HANDLE for unknown windows,
// ERROR_MESSAGE_SYNC_ONLY for WM_COPYDATA (its record only lives during a
// send) and ERROR_NOT_ENOUGH_QUOTA when the receiving queue already holds
// kPostedMessageLimit messages.
BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Posts a thread message (hwnd null) to the queue of `threadId`; fails with
// ERROR_INVALID_THREAD_ID if that thread has no queue or has ended.
BOOL PostThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);

inline constexpr std::size_t kPostedMessageLimit = 10000;

// Same thread: calls the procedure directly. Another thread or process: blocks
// until the procedure has returned, dispatching meanwhile only messages sent
// to the calling thread's windows. Returns the procedure's result, or 0 when
// the window does not exist, is destroyed before it handles the message, or
// its thread ends first. HWND_BROADCAST is not supported by sends (0,
// ERROR_NOT_SUPPORTED).
LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

inline constexpr UINT SMTO_NORMAL = 0x0000;
inline constexpr UINT SMTO_BLOCK = 0x0001;
inline constexpr UINT SMTO_ABORTIFHUNG = 0x0002;

// SendMessage that gives up after `timeoutMs` platform milliseconds (scaled;
// INFINITE never does). Nonzero with the procedure's result in `*result` (if
// non-null) once it has returned; 0 with ERROR_TIMEOUT when the time ran out,
// or ERROR_INVALID_WINDOW_HANDLE when the window is unknown, is destroyed
// before it handles the message or its thread or process ends first. A send to
// the calling thread's own window calls the procedure directly, without a
// time-out. Meanwhile the caller handles the messages sent to its thread as
// SendMessage does, or none with SMTO_BLOCK.
//
// A message that timed out stays queued and may still be handled later; its
// result is then dropped. WM_COPYDATA's record is copied for that; any other
// parameter pointing into the caller's memory must outlive a possible late
// handling.
//
// SMTO_ABORTIFHUNG concerns windows of other processes: once a send to one of
// a process's windows has timed out, the process counts as hung, and sends
// with this flag to any of its windows fail at once with ERROR_TIMEOUT until
// it answers a call again or leaves the bus. Windows of this process are
// never counted hung.
LRESULT SendMessageTimeout(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                           UINT timeoutMs, PDWORD_PTR result);

// WaitForSingleObject for a thread with windows: while it waits, the messages
// other threads send to it are handled, so a thread it waits for may itself be
// blocked in a send to it (as with MsgWaitForMultipleObjects and
// QS_SENDMESSAGE). A send or the handle becoming signalled wakes it at once;
// the handle is waited for only while no procedure runs, so a procedure's own
// wait for the same object is not robbed.
DWORD WaitForSingleObjectHandlingSends(HANDLE handle, DWORD ms);

// Number for a message name shared by cooperating programs: the same name
// (ignoring ASCII case) always gives the same number, between
// kFirstRegisteredMessage and kLastRegisteredMessage. With a window transport
// installed the transport decides the numbers, so they agree between
// processes; install it before the first registration. 0 with
// ERROR_INVALID_PARAMETER for a null, empty or overlong (> 255 units) name.
UINT RegisterWindowMessage(LPCWSTR name);

}  // namespace platform
