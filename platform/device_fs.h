// The device's file system: device paths such as `\SDMMC Disk\SysData\TDMBScan.dat`
// mapped below one host folder, and the Win32 file calls the service makes.
//
// The device root `\` is DMBTPEG_ROOT, else
// ${XDG_STATE_HOME:-$HOME/.local/state}/dmbtpeg/device, read afresh at every
// call. `\` and `/` both separate. As on the device's FAT volumes, names are
// case-insensitive and case-preserving: each component matches an existing
// entry ignoring letter case (the exact spelling first), and one that does not
// exist yet keeps the spelling given, spaces included, which is how it is then
// created. A path that could leave the root (a `..` component, a NUL
// character, nothing left after dropping `.` components) is refused, and so is
// the registry's folder `.registry`, which only the registry may touch. Every
// call that fails sets last error; refused paths give ERROR_BAD_PATHNAME.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/kernel.h"
#include "platform/types.h"

namespace platform {

inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;

inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

std::string DeviceRoot();

// The host path of a device path, or nullopt when the path is refused. The
// existing part is spelled as it is on disk.
std::optional<std::string> MapDevicePath(std::u16string_view devicePath);

// Opens a file as a kernel handle (closed with CloseHandle, never signalled),
// which is all the service does with one: OPEN_EXISTING or OPEN_ALWAYS, other
// dispositions fail with ERROR_INVALID_PARAMETER. Failure returns
// INVALID_HANDLE_VALUE. OPEN_ALWAYS on an existing file succeeds with last
// error ERROR_ALREADY_EXISTS; a missing folder on the way gives
// ERROR_PATH_NOT_FOUND. Folders cannot be opened. Sharing, flags and template
// are ignored.
HANDLE CreateFile(LPCWSTR devicePath, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                  DWORD creationDisposition, DWORD flags, HANDLE templ);

// Creates one folder; its parent must exist. An existing one fails with
// ERROR_ALREADY_EXISTS.
BOOL CreateDirectory(LPCWSTR devicePath, LPSECURITY_ATTRIBUTES security);
// Files only; a folder gives ERROR_ACCESS_DENIED.
BOOL DeleteFile(LPCWSTR devicePath);
DWORD GetFileAttributes(LPCWSTR devicePath);
// Replaces the file with `bytes` so that a reader, or the file after a power
// cut, holds either the old or the new contents, never a mix: a temporary in
// the same folder is written and flushed, renamed over the target, and the
// folder flushed. An existing file spelled in another case is the one replaced
// (and keeps its spelling). On failure the temporary is removed, the old file is left
// as it was, last error is set and false returned. A new file gets mode 0644;
// a replaced one keeps its mode.
bool WriteFileAtomically(std::u16string_view devicePath, std::string_view bytes);
bool WriteHostFileAtomically(const std::string& hostPath, std::string_view bytes);

// Win32 error for an errno value, as the file calls report it.
DWORD ErrorFromErrno(int error);

}  // namespace platform
