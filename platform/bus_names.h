// How windows and messages are named on the bus.
//
// Pure functions shared by the transport, the tools and the documentation:
// the same title always gives the same bus name and title object, the same
// window handle the same object path, and the same message name the same
// first choice of number in every process, with no state kept anywhere.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace platform {

// Arrays rather than string views: sd-bus wants terminated strings.
inline constexpr char kBusNamePrefix[] = "org.dmbtpeg.Title.";
inline constexpr char kWindowsPath[] = "/org/dmbtpeg/windows";
inline constexpr char kTitlesPath[] = "/org/dmbtpeg/titles";
inline constexpr char kWindowsInterface[] = "org.dmbtpeg.Windows1";
inline constexpr char kWindowInterface[] = "org.dmbtpeg.Window1";

// Largest WM_COPYDATA record carried between processes.
inline constexpr std::size_t kMaxCopyDataBytes = 64 * 1024;

// The well-known name a window titled `title` owns: the prefix followed by
// the UTF-8 title with every byte outside [A-Za-z0-9] written as _XX (upper
// case hex), so "DmbTpeg" stays readable and "Lumo_TDMBPlayer" becomes
// "Lumo_5FTDMBPlayer". A title whose escaped form would pass the bus's
// 255-character limit is named by a hash instead ("org.dmbtpeg.Title.H" and
// 16 hex digits); titles are compared exactly after the lookup, so a
// shared hash can only hide a window, never return a wrong one.
std::string BusNameForTitle(std::u16string_view title);

// "/org/dmbtpeg/windows/w<hex handle>" and back; nullopt for anything that
// is not exactly such a path with a nonzero handle.
std::string WindowObjectPath(HWND local);
std::optional<HWND> ParseWindowObjectPath(std::string_view path);

// The object every process serves for its windows titled `title`:
// "/org/dmbtpeg/titles/<escaped title>", escaped as in the bus name but never
// hashed. With a class name, "/<escaped class>" follows and only windows of
// that class (compared case-insensitively) answer. A call to it reaches the
// front-most such window of the process at the time the call arrives, so a
// caller knowing the owner of the title's name needs nothing else from it.
// `title` must not be empty.
std::string TitleObjectPath(std::u16string_view title, std::u16string_view className = {});
struct TitleObject {
    std::u16string title;
    // Empty: any class.
    std::u16string className;
};
// Only the canonical path of a non-empty title (and class) parses.
std::optional<TitleObject> ParseTitleObjectPath(std::string_view path);

// Where a registered message name starts looking for a free number in the
// session's table (registered_message_table.h): FNV-1a over the name's UTF-16
// units, ASCII letters upper-cased (the names compare case-insensitively),
// folded into 0xC000-0xFFFF. Different names may share it.
UINT RegisteredMessageNumber(std::u16string_view name);

// Messages whose parameters are plain numbers, and so may cross processes.
// System messages below WM_USER carry pointers (WM_CREATE, WM_SETTEXT, a timer
// procedure in WM_TIMER, ...) and are refused, except the few listed in the
// implementation; WM_COPYDATA has its own call.
bool MayCrossProcesses(UINT message);

}  // namespace platform
