// The Win32 registry API (narrow-character forms) over the registry store:
// HKEY_LOCAL_MACHINE is the machine hive, HKEY_CURRENT_USER the user hive.
// Key handles are handles of the user-mode model (uhandle, Kind::Key).
//
// Narrow texts are UTF-8. String values are kept as UTF-16 (as the kernel's
// registry calls read and write them) and converted on the way in and out,
// so sizes reported for them are those of the narrow form.
#pragma once

#include "platform/kernel/registry.h"
#include "platform/user/win32.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = ACCESS_MASK;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000003u)))

constexpr DWORD REG_OPTION_VOLATILE = 1;  // accepted; keys here always persist

constexpr DWORD REG_NOTIFY_CHANGE_NAME = 0x1;
constexpr DWORD REG_NOTIFY_CHANGE_ATTRIBUTES = 0x2;
constexpr DWORD REG_NOTIFY_CHANGE_LAST_SET = 0x4;
constexpr DWORD REG_NOTIFY_CHANGE_SECURITY = 0x8;
constexpr DWORD REG_NOTIFY_THREAD_AGNOSTIC = 0x10000000;

constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
constexpr DWORD ERROR_KEY_DELETED = 1018;

// Predefined keys other than HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER answer
// ERROR_INVALID_HANDLE.
LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult);
// Creates every missing component of lpSubKey.
LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                        PHKEY phkResult, LPDWORD lpdwDisposition);
// ERROR_FILE_NOT_FOUND when absent; ERROR_MORE_DATA with *lpcbData set to the
// size needed when lpData is too small; with lpData null, only the size.
LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData);
LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// The key must have no subkeys (ERROR_ACCESS_DENIED otherwise).
LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// The subkey and everything below it; a null lpSubKey empties hKey.
LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
// Subkeys in case-insensitive order. *lpcchName: room in characters with the
// terminator on the way in, the name's length without it on the way out.
LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// Values in the order they were first set.
LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegCloseKey(HKEY hKey);
// Asynchronous: hEvent is set once, on the next change of the key (with
// bWatchSubtree, of any key below it) that dwNotifyFilter selects, made by any
// process; deleting the key counts whatever the filter. Closing hKey ends
// the notification and sets the event, as the platform does. Synchronous:
// returns after such a change (or after the key is closed by another thread).
LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                BOOL fAsynchronous);
