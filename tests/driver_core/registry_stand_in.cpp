// An in-memory registry behind the kernel's registry calls, linked into these
// tests only while the registry store is not part of the build (CMake drops
// this file as soon as platform/kernel/registry.cpp exists). It keeps the
// behaviour the driver relies on: a key is created only below one that
// exists, names compare case-insensitively, short query buffers report the
// size they need, and kfault::RegistryOpen makes opens fail.
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/registry.h"
#include "platform/kernel/wdm.h"

namespace {

struct Value {
    ULONG type;
    std::vector<UCHAR> data;
};

struct Key {
    std::map<std::string, Value> values;  // by upper-case name
};

struct KeyObject {
    std::string path;  // upper-case
};

OBJECT_TYPE keyType{"Key"};

struct Store {
    std::mutex lock;
    std::map<std::string, Key> keys;  // by upper-case path
    std::map<std::string, int> deviceKeys;
    Store() {
        for (const char* root : {"\\REGISTRY", "\\REGISTRY\\MACHINE", "\\REGISTRY\\USER",
                                 "\\REGISTRY\\USER\\.DEFAULT"})
            keys[root];
    }
};

Store& store() {
    static Store* s = new Store();
    return *s;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    while (s.size() > 1 && s.back() == '\\') s.pop_back();
    return s;
}

std::string upperOf(PCUNICODE_STRING s) {
    return upper(krtl::narrow(s));
}
std::string upperOf(PCWSTR s) {
    return upper(krtl::narrow(std::u16string(s ? s : u"")));
}

std::string parentOf(const std::string& path) {
    size_t cut = path.rfind('\\');
    return cut == std::string::npos || cut == 0 ? std::string() : path.substr(0, cut);
}

HANDLE handleFor(const std::string& path) {
    auto* key = kobj::create<KeyObject>(&keyType);
    key->path = path;
    HANDLE h = kobj::insertHandle(key);
    ObfDereferenceObject(key);
    return h;
}

// The key behind a handle; the store lock must be held.
Key* keyOfHandle(HANDLE handle, std::string* path) {
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, &keyType, KernelMode, &object, nullptr)))
        return nullptr;
    std::string p = static_cast<KeyObject*>(object)->path;
    ObfDereferenceObject(object);
    if (path) *path = p;
    auto it = store().keys.find(p);
    return it == store().keys.end() ? nullptr : &it->second;
}

Key* keyOfPath(const std::string& path) {
    auto it = store().keys.find(path);
    return it == store().keys.end() ? nullptr : &it->second;
}

NTSTATUS queryDirect(Key* key, const RTL_QUERY_REGISTRY_TABLE& entry) {
    auto it =
        key ? key->values.find(upperOf(entry.Name)) : std::map<std::string, Value>::iterator{};
    ULONG type;
    const UCHAR* data;
    size_t length;
    if (key && it != key->values.end()) {
        type = it->second.type;
        data = it->second.data.data();
        length = it->second.data.size();
    } else {
        if (entry.DefaultType == REG_NONE) return STATUS_OBJECT_NAME_NOT_FOUND;
        type = entry.DefaultType;
        data = static_cast<const UCHAR*>(entry.DefaultData);
        length = entry.DefaultLength;
        if (type == REG_SZ && length == 0 && data) {
            auto* text = reinterpret_cast<PCWSTR>(data);
            while (text[length / 2]) length += 2;
            length += 2;
        }
    }
    if (type == REG_SZ) {
        auto* out = static_cast<PUNICODE_STRING>(entry.EntryContext);
        size_t chars = length / 2;
        auto* text = reinterpret_cast<PCWSTR>(data);
        while (chars > 0 && text[chars - 1] == 0) --chars;
        if (chars * 2 + 2 > out->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out->Buffer, text, chars * 2);
        out->Buffer[chars] = 0;
        out->Length = static_cast<USHORT>(chars * 2);
        return STATUS_SUCCESS;
    }
    if (type == REG_DWORD) {
        if (length != sizeof(ULONG)) return STATUS_OBJECT_TYPE_MISMATCH;
        std::memcpy(entry.EntryContext, data, sizeof(ULONG));
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_TYPE_MISMATCH;
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes) {
    if (kfault::take(kfault::RegistryOpen)) return STATUS_INSUFFICIENT_RESOURCES;
    std::string path = upperOf(ObjectAttributes->ObjectName);
    std::lock_guard<std::mutex> g(store().lock);
    if (!keyOfPath(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
    *KeyHandle = handleFor(path);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes, ULONG,
                     PUNICODE_STRING, ULONG, PULONG Disposition) {
    if (kfault::take(kfault::RegistryOpen)) return STATUS_INSUFFICIENT_RESOURCES;
    std::string path = upperOf(ObjectAttributes->ObjectName);
    std::lock_guard<std::mutex> g(store().lock);
    bool exists = keyOfPath(path) != nullptr;
    if (!exists) {
        if (!keyOfPath(parentOf(path))) return STATUS_OBJECT_NAME_NOT_FOUND;
        store().keys[path];
    }
    if (Disposition) *Disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *KeyHandle = handleFor(path);
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS,
                         PVOID Info, ULONG Length, PULONG ResultLength) {
    std::lock_guard<std::mutex> g(store().lock);
    Key* key = keyOfHandle(KeyHandle, nullptr);
    if (!key) return STATUS_INVALID_HANDLE;
    auto it = key->values.find(upperOf(ValueName));
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    constexpr ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG needed = header + static_cast<ULONG>(it->second.data.size());
    if (ResultLength) *ResultLength = needed;
    if (Length < header) return STATUS_BUFFER_TOO_SMALL;
    if (Length < needed) return STATUS_BUFFER_OVERFLOW;
    auto* out = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(Info);
    out->TitleIndex = 0;
    out->Type = it->second.type;
    out->DataLength = static_cast<ULONG>(it->second.data.size());
    std::memcpy(out->Data, it->second.data.data(), it->second.data.size());
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    std::lock_guard<std::mutex> g(store().lock);
    Key* key = keyOfHandle(KeyHandle, nullptr);
    if (!key) return STATUS_INVALID_HANDLE;
    auto* bytes = static_cast<const UCHAR*>(Data);
    key->values[upperOf(ValueName)] = Value{Type, std::vector<UCHAR>(bytes, bytes + DataSize)};
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    std::lock_guard<std::mutex> g(store().lock);
    Key* key = keyOfHandle(KeyHandle, nullptr);
    if (!key) return STATUS_INVALID_HANDLE;
    return key->values.erase(upperOf(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID, PVOID) {
    bool byHandle = (RelativeTo & RTL_REGISTRY_HANDLE) != 0;
    if (!byHandle && kfault::take(kfault::RegistryOpen)) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> g(store().lock);
    Key* key = byHandle ? keyOfHandle(reinterpret_cast<HANDLE>(const_cast<PWCHAR>(Path)), nullptr)
                        : keyOfPath(upperOf(Path));
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; entry->QueryRoutine || entry->Name;
         ++entry) {
        NTSTATUS status = queryDirect(key, *entry);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    if (kfault::take(kfault::RegistryOpen)) return STATUS_INSUFFICIENT_RESOURCES;
    std::lock_guard<std::mutex> g(store().lock);
    Key* key = keyOfPath(upperOf(Path));
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto* bytes = static_cast<const UCHAR*>(ValueData);
    key->values[upperOf(ValueName)] =
        Value{ValueType, std::vector<UCHAR>(bytes, bytes + ValueLength)};
    return STATUS_SUCCESS;
}

NTSTATUS RtlCheckRegistryKey(ULONG, PWSTR Path) {
    std::lock_guard<std::mutex> g(store().lock);
    return keyOfPath(upperOf(Path)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG, ACCESS_MASK,
                                 PHANDLE DevInstRegKey) {
    if (kfault::take(kfault::RegistryOpen)) return STATUS_INSUFFICIENT_RESOURCES;
    std::string instance = upper(kio::deviceInstancePath(DeviceObject));
    if (instance.empty()) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(store().lock);
    auto [it, fresh] =
        store().deviceKeys.emplace(instance, static_cast<int>(store().deviceKeys.size()));
    char path[128];
    std::snprintf(path, sizeof path,
                  "\\REGISTRY\\MACHINE\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\CLASS\\DEVICES\\%04d",
                  it->second);
    store().keys[path];
    *DevInstRegKey = handleFor(path);
    return STATUS_SUCCESS;
}
