#include "library/device/device_registry.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "library/device/registry_key.h"
#include "pav512/guids.h"
#include "platform/user/device_io.h"
#include "platform/user/handles.h"
#include "platform/user/setupapi.h"
#include "platform/user/synch.h"

namespace pavu {
namespace {

std::atomic<HANDLE> registryLock{nullptr};
// Tick of the last refresh in this process; unguarded, as two threads
// refreshing at once only repeat the work.
std::atomic<DWORD> lastRefresh{0};
std::atomic<bool> refreshed{false};
std::atomic<unsigned> refreshes{0};

// The class is kept as text and turned into its binary form at each use.
bool classGuid(GUID* out) {
    const char* t = pav512::kInterfaceClassText;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::vector<int> digits;
    for (const char* p = t; *p; ++p) {
        if (*p == '-') continue;
        int d = hex(*p);
        if (d < 0) return false;
        digits.push_back(d);
    }
    if (digits.size() != 32) return false;
    auto take = [&](int from, int count) {
        std::uint32_t v = 0;
        for (int i = 0; i < count; ++i) v = v << 4 | static_cast<std::uint32_t>(digits[from + i]);
        return v;
    };
    out->Data1 = take(0, 8);
    out->Data2 = static_cast<std::uint16_t>(take(8, 4));
    out->Data3 = static_cast<std::uint16_t>(take(12, 4));
    for (int i = 0; i < 8; ++i) out->Data4[i] = static_cast<std::uint8_t>(take(16 + 2 * i, 2));
    return true;
}

// The path of the present interface at `index`, or empty past the end.
std::string presentInterface(const GUID& guid, DWORD index) {
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return std::string();
    std::string path;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        if (GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > 0) {
            std::vector<char> memory(size);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(memory.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) {
                path.assign(detail->DevicePath);
                if (path.size() > kPathRoom - 1) path.resize(kPathRoom - 1);
            }
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

HANDLE openChannelOn(const char* path) {
    std::string name = std::string(path) + pav512::kConnectSuffix;
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

}  // namespace

bool createRegistryLock() {
    HANDLE h = CreateMutexA(nullptr, FALSE, kRegistryLockName);
    registryLock.store(h);
    return h != nullptr;
}

void closeRegistryLock() {
    HANDLE h = registryLock.exchange(nullptr);
    if (h) CloseHandle(h);
}

void refreshDeviceRegistry() {
    DWORD now = GetTickCount();
    if (refreshed.load() && static_cast<DWORD>(now - lastRefresh.load()) <= 1000) return;
    lastRefresh.store(now);
    refreshed.store(true);
    refreshes.fetch_add(1);
    HANDLE lock = registryLock.load();
    // Without the lock (it could not be made) the refresh still runs: two
    // processes registering at once can at worst give one path two numbers,
    // which is better than seeing no camera.
    bool held = lock && WaitForSingleObject(lock, INFINITE) != WAIT_FAILED;
    GUID guid{};
    if (classGuid(&guid)) {
        for (DWORD index = 0;; ++index) {
            std::string path = presentInterface(guid, index);
            if (path.empty()) break;
            registerPath(path.c_str());
        }
    }
    if (held) ReleaseMutex(lock);
}

DWORD pathOfCameraNumber(DWORD number, char* path, DWORD size) {
    RegistryKey key;
    if (!key.open(HKEY_CURRENT_USER, kDevicesKey, true, true)) return 0;
    std::string name = std::to_string(number);
    DWORD got = key.readString(name.c_str(), path, size);
    return got ? got - 1 : 0;
}

DWORD numberForPath(const char* path) {
    RegistryKey key;
    if (!key.open(HKEY_CURRENT_USER, kDevicesKey, true, false)) return 0;
    char text[kPathRoom];
    for (DWORD n = 1;; ++n) {
        std::string name = std::to_string(n);
        if (key.readString(name.c_str(), text, sizeof text) == 0) return n;
        if (std::strcmp(text, path) == 0) return 0;
    }
}

void registerPath(const char* path) {
    DWORD n = numberForPath(path);
    if (n == 0) return;
    RegistryKey key;
    if (!key.open(HKEY_CURRENT_USER, kDevicesKey, true, false)) return;
    key.writeString(std::to_string(n).c_str(), path);
}

bool openControlChannel(HANDLE* channel, DWORD number, bool search, DWORD* opened) {
    *channel = INVALID_HANDLE_VALUE;
    refreshDeviceRegistry();
    if (number == 0) number = 1;
    char path[kPathRoom];
    if (!search) {
        if (pathOfCameraNumber(number, path, sizeof path) == 0) return false;
        *channel = openChannelOn(path);
        if (*channel != INVALID_HANDLE_VALUE && opened) *opened = number;
        return *channel != INVALID_HANDLE_VALUE;
    }
    for (DWORD n = number; n <= kMaxCameraNumber; ++n) {
        if (pathOfCameraNumber(n, path, sizeof path) == 0) return false;
        *channel = openChannelOn(path);
        if (*channel != INVALID_HANDLE_VALUE) {
            if (opened) *opened = n;
            return true;
        }
    }
    return false;
}

unsigned refreshCount() { return refreshes.load(); }

}  // namespace pavu
