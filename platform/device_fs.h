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

// Sharing is not enforced: every process that can open a file may.
inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;

inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

inline constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x00000001;
inline constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x00000008;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

std::string DeviceRoot();

// The host path of a device path, or nullopt when the path is refused. The
// existing part is spelled as it is on disk.
std::optional<std::string> MapDevicePath(std::u16string_view devicePath);

// The memory card is inserted when `<root>/SDMMC Disk` is a folder.
bool MemoryCardPresent();

// Opens a file as a kernel handle (closed with CloseHandle, never signalled).
// Failure returns INVALID_HANDLE_VALUE. OPEN_ALWAYS and CREATE_ALWAYS on an
// existing file succeed with last error ERROR_ALREADY_EXISTS; CREATE_NEW on
// one fails with ERROR_FILE_EXISTS; a missing folder on the way gives
// ERROR_PATH_NOT_FOUND. Folders cannot be opened. Flags and template are
// ignored: I/O is always synchronous.
HANDLE CreateFile(LPCWSTR devicePath, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                  DWORD creationDisposition, DWORD flags, HANDLE templ);

// Synchronous only (overlapped must be null). ReadFile reads until `toRead`
// bytes or the end of the file; WriteFile writes everything or fails.
BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
               LPOVERLAPPED overlapped);
// Low 32 bits of the size; the high half goes to `sizeHigh` when given.
// INVALID_FILE_SIZE with last error on failure.
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
DWORD GetFileSize(HANDLE file, DWORD* sizeHigh);

// Creates one folder; its parent must exist. An existing one fails with
// ERROR_ALREADY_EXISTS.
BOOL CreateDirectory(LPCWSTR devicePath, LPSECURITY_ATTRIBUTES security);
// Files only; a folder gives ERROR_ACCESS_DENIED.
BOOL DeleteFile(LPCWSTR devicePath);
DWORD GetFileAttributes(LPCWSTR devicePath);
// Without MOVEFILE_REPLACE_EXISTING an existing target fails with
// ERROR_ALREADY_EXISTS. MOVEFILE_WRITE_THROUGH also flushes the folders. A
// target that names the source in another case renames it to that spelling.
BOOL MoveFileEx(LPCWSTR fromDevicePath, LPCWSTR toDevicePath, DWORD flags);

// fopen on a device path, for the C stdio readers and writers. nullptr with
// last error when the path is refused, names a folder or cannot be opened.
FILE* OpenDeviceFile(std::u16string_view devicePath, const char* mode);

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
