#include "platform/kernel/registry.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/kernel/faults.h"
#include "platform/kernel/rtl.h"
#include "platform/registry/hives.h"
#include "platform/registry/text.h"

namespace {

OBJECT_TYPE keyObjectType{"Key"};
POBJECT_TYPE keyType = &keyObjectType;

// Paths longer than the platform's UNICODE_STRING can carry are refused.
constexpr size_t kMaxPathChars = 0x7FFF;

const char* const kImageClass = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";
const char* const kEnumKey = "System\\CurrentControlSet\\Enum";
const char* const kClassKey = "System\\CurrentControlSet\\Control\\Class";

// Where a kernel path lands: one of the two keys above the hives, or a key
// inside a hive.
enum class Place { Registry, Users, Hive };

struct KernelKey {
    Place place = Place::Hive;
    std::shared_ptr<regstore::Store> store;
    regstore::Key key;
    ACCESS_MASK access = 0;
};

NTSTATUS toNt(regstore::Status s) {
    using regstore::Status;
    switch (s) {
        case Status::Ok:
            return STATUS_SUCCESS;
        case Status::NotFound:
        case Status::ParentNotFound:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case Status::KeyDeleted:
            return STATUS_KEY_DELETED;
        case Status::InvalidName:
            return STATUS_OBJECT_NAME_INVALID;
        case Status::InvalidArgument:
        case Status::TooLarge:
            return STATUS_INVALID_PARAMETER;
        case Status::HasSubkeys:
        case Status::AccessDenied:
            return STATUS_ACCESS_DENIED;
        case Status::NoMoreItems:
            return STATUS_NO_MORE_ENTRIES;
        case Status::StoreFailed:
            return STATUS_REGISTRY_IO_FAILED;
    }
    return STATUS_UNSUCCESSFUL;
}

template <typename F>
NTSTATUS guarded(F&& f) {
    try {
        return f();
    } catch (...) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

// Owns one reference to a key object.
struct KeyRef {
    KernelKey* key = nullptr;
    KeyRef() = default;
    KeyRef(const KeyRef&) = delete;
    KeyRef& operator=(const KeyRef&) = delete;
    ~KeyRef() {
        if (key) ObfDereferenceObject(key);
    }
};

NTSTATUS referenceKey(HANDLE handle, KeyRef* out) {
    PVOID object = nullptr;
    NTSTATUS st = ObReferenceObjectByHandle(handle, 0, keyType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(st)) return st;
    out->key = static_cast<KernelKey*>(object);
    return STATUS_SUCCESS;
}

NTSTATUS textOf(PCUNICODE_STRING s, std::string* out) {
    if (!s) return STATUS_INVALID_PARAMETER;
    if ((s->Length & 1) || s->Length > s->MaximumLength || (s->Length && !s->Buffer))
        return STATUS_INVALID_PARAMETER;
    *out = regstore::utf16ToUtf8(std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR)));
    return STATUS_SUCCESS;
}

NTSTATUS textOf(PCWSTR s, std::string* out) {
    if (!s) return STATUS_INVALID_PARAMETER;
    size_t n = 0;
    while (s[n]) {
        if (++n > kMaxPathChars) return STATUS_OBJECT_NAME_INVALID;
    }
    *out = regstore::utf16ToUtf8(std::u16string_view(s, n));
    return STATUS_SUCCESS;
}

// A kernel object for a key found or made; one reference, the caller's.
NTSTATUS makeKey(Place place, std::shared_ptr<regstore::Store> store, regstore::Key key,
                 ACCESS_MASK access, KernelKey** out) {
    auto* k = kobj::create<KernelKey>(keyType);
    if (!k) return STATUS_INSUFFICIENT_RESOURCES;
    k->place = place;
    k->store = std::move(store);
    k->key = std::move(key);
    k->access = kobj::mapKeyAccess(access);
    *out = k;
    return STATUS_SUCCESS;
}

NTSTATUS openHive(regstore::Hive hive, std::shared_ptr<regstore::Store>* store) {
    return toNt(regstore::hive(hive, store));
}

// Opens or creates (its parent must exist) the key `sub` below `base` of a hive.
NTSTATUS openInHive(std::shared_ptr<regstore::Store> store, const regstore::Key& base,
                    const std::string& sub, bool create, ACCESS_MASK access, KernelKey** out,
                    ULONG* disposition) {
    regstore::Key key;
    bool created = false;
    regstore::Status s =
        create ? store->createKey(base, sub, regstore::Create::ParentMustExist, &key, &created)
               : store->openKey(base, sub, &key);
    if (s != regstore::Status::Ok) return toNt(s);
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return makeKey(Place::Hive, std::move(store), std::move(key), access, out);
}

// Hands the caller a handle to `key` in place of the reference it had.
NTSTATUS handOut(KernelKey* key, PHANDLE handle) {
    *handle = kobj::insertHandle(key);
    ObfDereferenceObject(key);
    return STATUS_SUCCESS;
}

// Opens or creates the key at an absolute kernel path.
NTSTATUS openAbsolute(const std::string& path, bool create, ACCESS_MASK access, KernelKey** out,
                      ULONG* disposition) {
    std::vector<std::string> parts;
    if (path.empty() || path[0] != '\\' ||
        !regstore::splitPath(std::string_view(path).substr(1), &parts) || parts.empty())
        return STATUS_OBJECT_NAME_INVALID;
    if (!regstore::equalFolded(parts[0], "registry")) return STATUS_OBJECT_NAME_NOT_FOUND;
    Place place;
    regstore::Hive hive = regstore::Hive::Machine;
    size_t skip = 0;
    if (parts.size() == 1) {
        place = Place::Registry;
    } else if (regstore::equalFolded(parts[1], "machine")) {
        place = Place::Hive;
        skip = 2;
    } else if (regstore::equalFolded(parts[1], "user")) {
        // Every user's hive is the one user hive of this machine.
        place = parts.size() == 2 ? Place::Users : Place::Hive;
        hive = regstore::Hive::User;
        skip = 3;
    } else {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (place != Place::Hive) {
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        return makeKey(place, nullptr, regstore::Key{}, access, out);
    }
    std::string sub;
    for (size_t i = skip; i < parts.size(); ++i) sub += (i == skip ? "" : "\\") + parts[i];
    std::shared_ptr<regstore::Store> store;
    NTSTATUS st = openHive(hive, &store);
    if (!NT_SUCCESS(st)) return st;
    regstore::Key root = store->root();
    return openInHive(std::move(store), root, sub, create, access, out, disposition);
}

// Opens or creates `name` relative to `root` (a path of its own when root is null).
NTSTATUS openKey(KernelKey* root, const std::string& name, bool create, ACCESS_MASK access,
                 KernelKey** out, ULONG* disposition) {
    if (!root) return openAbsolute(name, create, access, out, disposition);
    if (!name.empty() && name[0] == '\\') return STATUS_OBJECT_NAME_INVALID;
    if (root->place == Place::Registry || root->place == Place::Users) {
        std::string base = root->place == Place::Registry ? "\\Registry" : "\\Registry\\User";
        return openAbsolute(name.empty() ? base : base + "\\" + name, create, access, out,
                            disposition);
    }
    return openInHive(root->store, root->key, name, create, access, out, disposition);
}

NTSTATUS openByAttributes(PHANDLE KeyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES oa, bool create,
                          ULONG* disposition) {
    if (!KeyHandle || !oa || !oa->ObjectName) return STATUS_INVALID_PARAMETER;
    *KeyHandle = nullptr;
    std::string name;
    NTSTATUS st = textOf(oa->ObjectName, &name);
    if (!NT_SUCCESS(st)) return st;
    KeyRef root;
    if (oa->RootDirectory) {
        st = referenceKey(oa->RootDirectory, &root);
        if (!NT_SUCCESS(st)) return st;
    } else if (name.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (kfault::take(kfault::RegistryOpen)) return STATUS_INSUFFICIENT_RESOURCES;
    KernelKey* key = nullptr;
    st = openKey(root.key, name, create, access, &key, disposition);
    if (!NT_SUCCESS(st)) return st;
    return handOut(key, KeyHandle);
}

// The key an Rtl call names: a handle, or a path under one of the roots.
NTSTATUS rtlKey(ULONG RelativeTo, PCWSTR Path, KeyRef* out) {
    ULONG relative = RelativeTo & ~RTL_REGISTRY_OPTIONAL;
    if (relative == RTL_REGISTRY_HANDLE) return referenceKey(const_cast<PWCHAR>(Path), out);
    std::string path;
    if (Path) {
        NTSTATUS st = textOf(Path, &path);
        if (!NT_SUCCESS(st)) return st;
    }
    const char* prefix = nullptr;
    switch (relative) {
        case RTL_REGISTRY_ABSOLUTE:
            break;
        case RTL_REGISTRY_SERVICES:
            prefix = "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
            break;
        case RTL_REGISTRY_CONTROL:
            prefix = "\\Registry\\Machine\\System\\CurrentControlSet\\Control";
            break;
        case RTL_REGISTRY_WINDOWS_NT:
            prefix = "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
            break;
        case RTL_REGISTRY_DEVICEMAP:
            prefix = "\\Registry\\Machine\\Hardware\\DeviceMap";
            break;
        case RTL_REGISTRY_USER:
            prefix = "\\Registry\\User\\.DEFAULT";
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (prefix) path = path.empty() ? std::string(prefix) : std::string(prefix) + "\\" + path;
    if (kfault::take(kfault::RegistryOpen)) return STATUS_INSUFFICIENT_RESOURCES;
    return openAbsolute(path, false, KEY_ALL_ACCESS, &out->key, nullptr);
}

bool isStringType(ULONG type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Stores one value for a direct query entry.
NTSTATUS storeDirect(PVOID context, ULONG type, const UCHAR* data, ULONG length) {
    if (isStringType(type)) {
        auto* us = static_cast<PUNICODE_STRING>(context);
        std::u16string text;
        if (type == REG_MULTI_SZ) {
            // The whole list, without its final terminator.
            for (ULONG i = 0; i + 1 < length; i += 2)
                text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
            while (!text.empty() && text.back() == 0) text.pop_back();
        } else {
            text = regstore::decodeWide(std::span<const UCHAR>(data, length));
        }
        if (!us->Buffer) return krtl::allocateUnicode(text, us);
        size_t bytes = text.size() * sizeof(WCHAR);
        if (bytes + sizeof(WCHAR) > us->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(us->Buffer, text.data(), bytes);
        us->Buffer[text.size()] = 0;
        us->Length = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        if (length) std::memcpy(context, data, length);
        return STATUS_SUCCESS;
    }
    LONG first;
    std::memcpy(&first, context, sizeof first);
    auto* out = static_cast<UCHAR*>(context);
    if (first < 0) {
        if (-static_cast<LONGLONG>(first) < length) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(out, data, length);
        return STATUS_SUCCESS;
    }
    if (static_cast<ULONGLONG>(first) < static_cast<ULONGLONG>(length) + 2 * sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    ULONG header[2] = {length, type};
    std::memcpy(out, header, sizeof header);
    std::memcpy(out + sizeof header, data, length);
    return STATUS_SUCCESS;
}

NTSTATUS storeDefault(const RTL_QUERY_REGISTRY_TABLE& e) {
    ULONG length = e.DefaultLength;
    if (isStringType(e.DefaultType)) {
        static const WCHAR empty[1] = {0};
        auto* text = e.DefaultData ? static_cast<const WCHAR*>(e.DefaultData) : empty;
        if (length == 0) {
            size_t n = 0;
            while (text[n] && n < kMaxPathChars) ++n;
            length = static_cast<ULONG>((n + 1) * sizeof(WCHAR));
        }
        return storeDirect(e.EntryContext, e.DefaultType, reinterpret_cast<const UCHAR*>(text),
                           length);
    }
    if (length == 0 && e.DefaultType == REG_DWORD) length = sizeof(ULONG);
    if (length && !e.DefaultData) return STATUS_INVALID_PARAMETER;
    return storeDirect(e.EntryContext, e.DefaultType, static_cast<const UCHAR*>(e.DefaultData),
                       length);
}

NTSTATUS queryEntry(KernelKey* key, const RTL_QUERY_REGISTRY_TABLE& e) {
    if (e.QueryRoutine || !(e.Flags & RTL_QUERY_REGISTRY_DIRECT) || !e.Name || !e.EntryContext)
        return STATUS_INVALID_PARAMETER;
    std::string name;
    NTSTATUS st = textOf(e.Name, &name);
    if (!NT_SUCCESS(st)) return st;
    regstore::Value v;
    regstore::Status s = regstore::Status::NotFound;
    if (key->place == Place::Hive) s = key->store->queryValue(key->key, name, &v);
    if (s != regstore::Status::Ok && s != regstore::Status::NotFound) return toNt(s);
    bool found = s == regstore::Status::Ok;
    if (found && e.DefaultType != REG_NONE && isStringType(v.type) != isStringType(e.DefaultType))
        found = false;
    if (found)
        return storeDirect(e.EntryContext, v.type, v.data.data(),
                           static_cast<ULONG>(v.data.size()));
    if (e.DefaultType != REG_NONE) return storeDefault(e);
    return (e.Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
}

// The software key's name under the class key ("0003"), or empty.
std::string driverNumber(const std::string& driverValue) {
    std::string prefix = std::string(kImageClass) + "\\";
    if (driverValue.size() != prefix.size() + 4 ||
        !regstore::equalFolded(driverValue.substr(0, prefix.size()), prefix))
        return {};
    std::string number = driverValue.substr(prefix.size());
    for (char c : number)
        if (c < '0' || c > '9') return {};
    return number;
}

// Finds or hands out the software key of a device instance, in one
// transaction so that two instances can never be given the same number.
regstore::Status softwareKey(regstore::Store& store, const std::string& instance,
                             regstore::Key* out) {
    return store.atomically([&] {
        regstore::Key enumKey;
        regstore::Status s = store.createKey(store.root(), std::string(kEnumKey) + "\\" + instance,
                                             regstore::Create::WithParents, &enumKey);
        if (s != regstore::Status::Ok) return s;
        std::string classPath = std::string(kClassKey) + "\\" + kImageClass;
        std::string driver;
        s = regstore::queryString(store, enumKey, "Driver", &driver);
        if (s == regstore::Status::Ok && !driverNumber(driver).empty())
            return store.createKey(store.root(), classPath + "\\" + driverNumber(driver),
                                   regstore::Create::WithParents, out);
        if (s != regstore::Status::Ok && s != regstore::Status::NotFound) return s;
        regstore::Key classKey;
        s = store.createKey(store.root(), classPath, regstore::Create::WithParents, &classKey);
        if (s != regstore::Status::Ok) return s;
        for (unsigned n = 0; n <= 9999; ++n) {
            char number[8];
            std::snprintf(number, sizeof number, "%04u", n);
            bool created = false;
            s = store.createKey(classKey, number, regstore::Create::ParentMustExist, out, &created);
            if (s != regstore::Status::Ok) return s;
            if (!created) continue;  // another instance's
            return regstore::setString(store, enumKey, "Driver",
                                       std::string(kImageClass) + "\\" + number);
        }
        return regstore::Status::TooLarge;
    });
}

// The value name and the key of a Zw value call.
NTSTATUS valueOfHandle(HANDLE handle, PCUNICODE_STRING valueName, std::string* name, KeyRef* key) {
    NTSTATUS st = textOf(valueName, name);
    if (!NT_SUCCESS(st)) return st;
    return referenceKey(handle, key);
}

// Values are written only through a key opened for it, and only in a hive.
bool writable(const KeyRef& key) {
    return (key.key->access & KEY_SET_VALUE) && key.key->place == Place::Hive;
}

NTSTATUS setValueOf(const KeyRef& key, const std::string& name, ULONG type, PVOID data,
                    ULONG size) {
    if (!writable(key)) return STATUS_ACCESS_DENIED;
    return toNt(key.key->store->setValue(
        key.key->key, name, type, std::span<const UCHAR>(static_cast<const UCHAR*>(data), size)));
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
    return guarded([&] {
        return openByAttributes(KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr);
    });
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG, PUNICODE_STRING, ULONG,
                     PULONG Disposition) {
    return guarded([&] {
        return openByAttributes(KeyHandle, DesiredAccess, ObjectAttributes, true, Disposition);
    });
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    return guarded([&]() -> NTSTATUS {
        if (KeyValueInformationClass != KeyValuePartialInformation || !ResultLength ||
            (Length && !KeyValueInformation))
            return STATUS_INVALID_PARAMETER;
        *ResultLength = 0;
        std::string name;
        KeyRef key;
        NTSTATUS st = valueOfHandle(KeyHandle, ValueName, &name, &key);
        if (!NT_SUCCESS(st)) return st;
        if (!(key.key->access & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
        if (key.key->place != Place::Hive) return STATUS_OBJECT_NAME_NOT_FOUND;
        regstore::Value v;
        regstore::Status s = key.key->store->queryValue(key.key->key, name, &v);
        if (s != regstore::Status::Ok) return toNt(s);
        constexpr ULONG kFixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        ULONG needed = kFixed + static_cast<ULONG>(v.data.size());
        *ResultLength = needed;
        if (Length < kFixed) return STATUS_BUFFER_TOO_SMALL;
        // Copied byte-wise: the caller's buffer need not be aligned.
        auto* out = static_cast<UCHAR*>(KeyValueInformation);
        const ULONG header[3] = {0, v.type, static_cast<ULONG>(v.data.size())};
        static_assert(sizeof header == kFixed);
        std::memcpy(out, header, sizeof header);
        if (Length < needed) return STATUS_BUFFER_OVERFLOW;
        if (!v.data.empty()) std::memcpy(out + kFixed, v.data.data(), v.data.size());
        return STATUS_SUCCESS;
    });
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    return guarded([&]() -> NTSTATUS {
        if (DataSize && !Data) return STATUS_INVALID_PARAMETER;
        std::string name;
        KeyRef key;
        NTSTATUS st = valueOfHandle(KeyHandle, ValueName, &name, &key);
        if (!NT_SUCCESS(st)) return st;
        return setValueOf(key, name, Type, Data, DataSize);
    });
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    return guarded([&]() -> NTSTATUS {
        std::string name;
        KeyRef key;
        NTSTATUS st = valueOfHandle(KeyHandle, ValueName, &name, &key);
        if (!NT_SUCCESS(st)) return st;
        if (!writable(key)) return STATUS_ACCESS_DENIED;
        return toNt(key.key->store->deleteValue(key.key->key, name));
    });
}

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID, PVOID) {
    return guarded([&]() -> NTSTATUS {
        if (!QueryTable) return STATUS_INVALID_PARAMETER;
        KeyRef key;
        NTSTATUS st = rtlKey(RelativeTo, Path, &key);
        if (st == STATUS_OBJECT_NAME_NOT_FOUND && (RelativeTo & RTL_REGISTRY_OPTIONAL))
            return STATUS_SUCCESS;
        if (!NT_SUCCESS(st)) return st;
        for (PRTL_QUERY_REGISTRY_TABLE e = QueryTable; e->QueryRoutine || e->Name; ++e) {
            st = queryEntry(key.key, *e);
            if (!NT_SUCCESS(st)) return st;
        }
        return STATUS_SUCCESS;
    });
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    return guarded([&]() -> NTSTATUS {
        if (ValueLength && !ValueData) return STATUS_INVALID_PARAMETER;
        std::string name;
        NTSTATUS st = textOf(ValueName, &name);
        if (!NT_SUCCESS(st)) return st;
        KeyRef key;
        if (!NT_SUCCESS(st = rtlKey(RelativeTo, Path, &key))) return st;
        return setValueOf(key, name, ValueType, ValueData, ValueLength);
    });
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    return guarded([&]() -> NTSTATUS {
        KeyRef key;
        return rtlKey(RelativeTo, Path, &key);
    });
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    return guarded([&]() -> NTSTATUS {
        if (!DeviceObject || !DevInstRegKey) return STATUS_INVALID_PARAMETER;
        *DevInstRegKey = nullptr;
        if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER && DevInstKeyType != PLUGPLAY_REGKEY_DEVICE)
            return STATUS_INVALID_PARAMETER;
        std::string instance = kio::deviceInstancePath(DeviceObject);
        std::vector<std::string> parts;
        if (instance.empty() || !regstore::splitPath(instance, &parts))
            return STATUS_INVALID_DEVICE_REQUEST;
        if (kfault::take(kfault::RegistryOpen)) return STATUS_INSUFFICIENT_RESOURCES;
        std::shared_ptr<regstore::Store> store;
        NTSTATUS st = openHive(regstore::Hive::Machine, &store);
        if (!NT_SUCCESS(st)) return st;
        regstore::Key key;
        regstore::Status s =
            DevInstKeyType == PLUGPLAY_REGKEY_DRIVER
                ? softwareKey(*store, instance, &key)
                : store->createKey(store->root(),
                                   std::string(kEnumKey) + "\\" + instance + "\\Device Parameters",
                                   regstore::Create::WithParents, &key);
        if (s == regstore::Status::InvalidName) return STATUS_INVALID_DEVICE_REQUEST;
        if (s != regstore::Status::Ok) return toNt(s);
        KernelKey* object = nullptr;
        if (!NT_SUCCESS(st = makeKey(Place::Hive, std::move(store), std::move(key), DesiredAccess,
                                     &object)))
            return st;
        return handOut(object, DevInstRegKey);
    });
}
