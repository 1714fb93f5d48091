#include "platform/user/registry_api.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/kernel/object.h"
#include "platform/registry/hives.h"
#include "platform/registry/text.h"
#include "platform/user/handles.h"

namespace {

OBJECT_TYPE userKeyObjectType{"Key"};
POBJECT_TYPE userKeyType = &userKeyObjectType;

LONG toWin32(regstore::Status s) {
    using regstore::Status;
    switch (s) {
        case Status::Ok:
            return ERROR_SUCCESS;
        case Status::NotFound:
        case Status::ParentNotFound:
            return ERROR_FILE_NOT_FOUND;
        case Status::KeyDeleted:
            return ERROR_KEY_DELETED;
        case Status::InvalidName:
        case Status::InvalidArgument:
        case Status::TooLarge:
            return ERROR_INVALID_PARAMETER;
        case Status::HasSubkeys:
        case Status::AccessDenied:
            return ERROR_ACCESS_DENIED;
        case Status::NoMoreItems:
            return ERROR_NO_MORE_ITEMS;
        case Status::StoreFailed:
            return ERROR_REGISTRY_IO_FAILED;
    }
    return ERROR_GEN_FAILURE;
}

template <typename F>
LSTATUS guarded(F&& f) {
    try {
        return f();
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// One pending notification: sets its event (or wakes its synchronous caller)
// at most once, whether the key changed or its handle was closed.
struct Notification {
    PKEVENT event = nullptr;  // referenced
    std::mutex lock;
    std::condition_variable done;
    bool fired = false;

    ~Notification() {
        if (event) ObfDereferenceObject(event);
    }
    void fire() {
        {
            std::lock_guard<std::mutex> g(lock);
            if (fired) return;
            fired = true;
        }
        if (event) KeSetEvent(event, 0, FALSE);
        done.notify_all();
    }
    bool hasFired() {
        std::lock_guard<std::mutex> g(lock);
        return fired;
    }
};

// The object behind an HKEY handle.
struct UserKey {
    std::shared_ptr<regstore::Store> store;
    regstore::Key key;
    ACCESS_MASK access = 0;
    std::mutex lock;
    std::vector<std::pair<regstore::WatchId, std::shared_ptr<Notification>>> notifications;

    ~UserKey() {
        for (auto& [id, n] : notifications) {
            store->unwatch(id);
            n->fire();
        }
    }
};

// A key as a call sees it: a handle's object (referenced) or a hive root.
struct Target {
    UserKey* object = nullptr;
    std::shared_ptr<regstore::Store> store;
    regstore::Key key;
    ACCESS_MASK access = 0;

    Target() = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    ~Target() { release(); }
    void release() {
        if (object) ObfDereferenceObject(object);
        object = nullptr;
    }
};

LONG resolve(HKEY h, Target* t) {
    if (h == HKEY_LOCAL_MACHINE || h == HKEY_CURRENT_USER) {
        regstore::Status s = regstore::hive(
            h == HKEY_LOCAL_MACHINE ? regstore::Hive::Machine : regstore::Hive::User, &t->store);
        if (s != regstore::Status::Ok) return toWin32(s);
        t->key = t->store->root();
        t->access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    void* object = uhandle::reference(reinterpret_cast<HANDLE>(h), uhandle::Kind::Key);
    if (!object) return ERROR_INVALID_HANDLE;
    if (kobj::typeOf(object) != userKeyType) {
        ObfDereferenceObject(object);
        return ERROR_INVALID_HANDLE;
    }
    t->object = static_cast<UserKey*>(object);
    t->store = t->object->store;
    t->key = t->object->key;
    t->access = t->object->access;
    return ERROR_SUCCESS;
}

LONG newHandle(const Target& parent, regstore::Key key, REGSAM access, PHKEY out) {
    auto* k = kobj::create<UserKey>(userKeyType);
    if (!k) return ERROR_NOT_ENOUGH_MEMORY;
    k->store = parent.store;
    k->key = std::move(key);
    k->access = kobj::mapKeyAccess(access);
    HANDLE h = uhandle::insert(k, uhandle::Kind::Key);
    ObfDereferenceObject(k);
    *out = reinterpret_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

std::string textOrEmpty(LPCSTR s) {
    return s ? std::string(s) : std::string();
}

// The bytes a caller sees for a value: string types in their narrow form.
std::vector<BYTE> narrowData(const regstore::Value& v) {
    if (!regstore::isStringType(v.type)) return v.data;
    std::u16string w;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2)
        w.push_back(static_cast<char16_t>(v.data[i] | v.data[i + 1] << 8));
    std::string n = regstore::utf16ToUtf8(w);
    return std::vector<BYTE>(n.begin(), n.end());
}

std::vector<BYTE> storedData(DWORD type, const BYTE* data, DWORD size) {
    if (!regstore::isStringType(type)) return std::vector<BYTE>(data, data + size);
    std::u16string w =
        regstore::utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
    std::vector<BYTE> out;
    out.reserve(w.size() * 2);
    for (char16_t c : w) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

LONG putData(const std::vector<BYTE>& data, LPBYTE out, LPDWORD size) {
    if (!size) return out ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    auto need = static_cast<DWORD>(data.size());
    if (out && need > *size) {
        *size = need;
        return ERROR_MORE_DATA;
    }
    if (out && need) std::memcpy(out, data.data(), need);
    *size = need;
    return ERROR_SUCCESS;
}

LONG putName(const std::string& name, LPSTR out, LPDWORD chars) {
    if (name.size() + 1 > *chars) return ERROR_MORE_DATA;
    std::memcpy(out, name.c_str(), name.size() + 1);
    *chars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return guarded([&]() -> LONG {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        regstore::Key key;
        regstore::Status s = t.store->openKey(t.key, textOrEmpty(lpSubKey), &key);
        if (s != regstore::Status::Ok) return toWin32(s);
        return newHandle(t, std::move(key), samDesired, phkResult);
    });
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return guarded([&]() -> LONG {
        if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        regstore::Key key;
        bool created = false;
        regstore::Status s =
            t.store->createKey(t.key, lpSubKey, regstore::Create::WithParents, &key, &created);
        if (s != regstore::Status::Ok) return toWin32(s);
        if (lpdwDisposition)
            *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return newHandle(t, std::move(key), samDesired, phkResult);
    });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
    return guarded([&]() -> LONG {
        if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(t.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        regstore::Value v;
        regstore::Status s = t.store->queryValue(t.key, textOrEmpty(lpValueName), &v);
        if (s != regstore::Status::Ok) return toWin32(s);
        if (lpType) *lpType = v.type;
        return putData(narrowData(v), lpData, lpcbData);
    });
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    return guarded([&]() -> LONG {
        if (cbData && !lpData) return ERROR_INVALID_PARAMETER;
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(t.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        std::vector<BYTE> data = storedData(dwType, lpData, cbData);
        return toWin32(t.store->setValue(t.key, textOrEmpty(lpValueName), dwType, data));
    });
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return guarded([&]() -> LONG {
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(t.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        return toWin32(t.store->deleteValue(t.key, textOrEmpty(lpValueName)));
    });
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return guarded([&]() -> LONG {
        if (!lpSubKey) return ERROR_INVALID_PARAMETER;
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        return toWin32(t.store->deleteKey(t.key, lpSubKey));
    });
}

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    return guarded([&]() -> LONG {
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        if (lpSubKey) return toWin32(t.store->deleteTree(t.key, lpSubKey));
        // Empty the key itself: its subtrees, then its values.
        std::vector<std::string> names;
        regstore::Status s = t.store->subkeys(t.key, &names);
        for (size_t i = 0; s == regstore::Status::Ok && i < names.size(); ++i)
            s = t.store->deleteTree(t.key, names[i]);
        std::vector<regstore::Value> values;
        if (s == regstore::Status::Ok) s = t.store->values(t.key, &values);
        for (size_t i = 0; s == regstore::Status::Ok && i < values.size(); ++i)
            s = t.store->deleteValue(t.key, values[i].name);
        return toWin32(s);
    });
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                      LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return guarded([&]() -> LONG {
        if (!lpName || !lpcchName || lpReserved) return ERROR_INVALID_PARAMETER;
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(t.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
        std::string name;
        std::uint64_t written = 0;
        regstore::Status s = t.store->subkeyAt(t.key, dwIndex, &name, &written);
        if (s != regstore::Status::Ok) return toWin32(s);
        if ((rc = putName(name, lpName, lpcchName)) != ERROR_SUCCESS) return rc;
        if (lpClass && lpcchClass && *lpcchClass) lpClass[0] = 0;
        if (lpcchClass) *lpcchClass = 0;
        if (lpftLastWriteTime) {
            lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(written);
            lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(written >> 32);
        }
        return ERROR_SUCCESS;
    });
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return guarded([&]() -> LONG {
        if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
            return ERROR_INVALID_PARAMETER;
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(t.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        regstore::Value v;
        regstore::Status s = t.store->valueAt(t.key, dwIndex, &v);
        if (s != regstore::Status::Ok) return toWin32(s);
        if ((rc = putName(v.name, lpValueName, lpcchValueName)) != ERROR_SUCCESS) return rc;
        if (lpType) *lpType = v.type;
        return putData(narrowData(v), lpData, lpcbData);
    });
}

LSTATUS RegCloseKey(HKEY hKey) {
    return guarded([&]() -> LONG {
        if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        t.release();
        return CloseHandle(reinterpret_cast<HANDLE>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                BOOL fAsynchronous) {
    return guarded([&]() -> LONG {
        DWORD filter = dwNotifyFilter & ~REG_NOTIFY_THREAD_AGNOSTIC;
        if (filter == 0 || (filter & ~regstore::kNotifyAll)) return ERROR_INVALID_PARAMETER;
        if (fAsynchronous && !hEvent) return ERROR_INVALID_PARAMETER;
        Target t;
        LONG rc = resolve(hKey, &t);
        if (rc != ERROR_SUCCESS) return rc;
        if (!(t.access & KEY_NOTIFY)) return ERROR_ACCESS_DENIED;
        auto note = std::make_shared<Notification>();
        if (fAsynchronous) {
            note->event = static_cast<PKEVENT>(uhandle::reference(hEvent, uhandle::Kind::Event));
            if (!note->event) return ERROR_INVALID_HANDLE;
        }
        // A watch on a handle holds its notification weakly: the handle owns
        // it, and closing the handle fires and ends it. A predefined key is
        // never closed, so there the watch keeps it until it fires.
        regstore::WatchCallback callback;
        if (t.object) {
            std::weak_ptr<Notification> weak = note;
            callback = [weak] {
                if (auto n = weak.lock()) n->fire();
                return false;
            };
        } else {
            callback = [note] {
                note->fire();
                return false;
            };
        }
        regstore::WatchId id = 0;
        regstore::Status s =
            t.store->watch(t.key, bWatchSubtree != 0, filter, std::move(callback), &id);
        if (s != regstore::Status::Ok) return toWin32(s);
        if (t.object) {
            std::lock_guard<std::mutex> g(t.object->lock);
            auto& list = t.object->notifications;
            std::erase_if(list, [](auto& entry) { return entry.second->hasFired(); });
            list.emplace_back(id, note);
        }
        if (fAsynchronous) return ERROR_SUCCESS;
        // Let a close from another thread reach the notification while we wait.
        t.release();
        std::unique_lock<std::mutex> lk(note->lock);
        note->done.wait(lk, [&] { return note->fired; });
        return ERROR_SUCCESS;
    });
}
