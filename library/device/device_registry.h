// Camera numbers and control channels. Each user keeps a list under
// HKEY_CURRENT_USER\...\Devices that gives every device interface path ever
// seen a number of its own ("1", "2", ... in the order the paths were first
// seen); numbers are never taken back, so a camera keeps its number across
// unplugging. Opening a number opens a control channel on its path.
#pragma once

#include <cstdint>
#include <string>

#include "platform/user/win32.h"

namespace pavu {

constexpr DWORD kMaxCameraNumber = 256;
constexpr DWORD kPathRoom = 260;  // 259 characters and the terminator
constexpr char kDevicesKey[] = "Software\\Veltra\\USB Camera (PAV512)\\Devices";
constexpr char kRegistryLockName[] = "PAV_REGISTRY_ACCESS";

// Library load and unload.
bool createRegistryLock();
void closeRegistryLock();

// Registers every present interface of the camera class, at most once a
// second per process, under the registry lock.
void refreshDeviceRegistry();
// The path registered for `number` (its length, 0 when none).
DWORD pathOfCameraNumber(DWORD number, char* path, DWORD size);
// 0 when `path` is registered, else the first unused number.
DWORD numberForPath(const char* path);
void registerPath(const char* path);

// Opens a control channel. Direct form: exactly `number` (0 means 1). Search
// form: the first number from `number` upward that opens, ending at the first
// number without a path or after 256. `*channel` is INVALID_HANDLE_VALUE
// unless it answers true; `*opened` (optional) gets the number.
bool openControlChannel(HANDLE* channel, DWORD number, bool search, DWORD* opened);

// For the tests: how many refreshes reached the interface list.
unsigned refreshCount();

}  // namespace pavu
