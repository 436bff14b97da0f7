// The registry: HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT with Win32 semantics.
//
// Each hive is a file under `<device root>/.registry/` (HKLM.hive, HKCR.hive,
// format in registry_hive.h) shared by every process: each call reads the
// file under a lock on `<hive>.lock` (shared to read, exclusive to change)
// and every change is written atomically before the call returns, so a value
// set by one process is seen by the next call of any other. The folder is
// created by the first change; a missing hive reads as empty. Every successful
// save also writes the hive atomically to `<hive>.good`, its last good copy. A
// hive file that cannot be parsed is kept as `<hive>.corrupt-<time>` and
// replaced by that copy, reported in one line on the debug output, so damage
// costs at most the last change; without a usable good copy the hive starts
// empty.
//
// Key names compare without letter case; `\` separates them (empty parts are
// skipped). Only REG_DWORD (4 bytes) and REG_SZ values exist. REG_SZ data is
// UTF-16 in bytes, terminator included; it is stored up to its first NUL and
// always read back terminated. Sizes are in bytes, name lengths in characters.
// Opened keys are handles of their own, remembered by path: a closed key
// fails with ERROR_INVALID_HANDLE, and a key deleted while open fails with
// ERROR_KEY_DELETED. Access masks are accepted and not checked: every caller
// asks for full access. The functions return their result and leave last
// error alone, as on Win32. Our own code reads values with RegGetDword and
// RegGetString.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/kernel.h"
#include "platform/types.h"

namespace platform {

struct HKEY__;
using HKEY = HKEY__*;
extern const HKEY HKEY_CLASSES_ROOT;   // (HKEY)0x80000000
extern const HKEY HKEY_LOCAL_MACHINE;  // (HKEY)0x80000002

using REGSAM = DWORD;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_SZ = 1, REG_DWORD = 4;
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0, REG_CREATED_NEW_KEY = 1,
                       REG_OPENED_EXISTING_KEY = 2;
inline constexpr DWORD ERROR_KEY_DELETED = 1018;

// Creates the key with any missing parents, or opens it. An empty subKey
// opens another handle to `key`. `disposition` tells which happened.
LONG RegCreateKeyEx(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                    REGSAM sam, LPSECURITY_ATTRIBUTES security, HKEY* result, DWORD* disposition);
LONG RegOpenKeyEx(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam, HKEY* result);
// Closing a predefined key succeeds and does nothing.
LONG RegCloseKey(HKEY key);
// A null or empty name is the key's default value.
LONG RegSetValueEx(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                   DWORD size);
// Deletes subKey with its whole subtree; with subKey null or empty, deletes
// everything below `key` and its values but keeps `key` itself.
LONG RegDeleteTree(HKEY key, LPCWSTR subKey);
// The value if it exists with that type.
std::optional<DWORD> RegGetDword(HKEY root, std::u16string_view subKey,
                                 std::u16string_view valueName);
std::optional<std::u16string> RegGetString(HKEY root, std::u16string_view subKey,
                                           std::u16string_view valueName);

}  // namespace platform
