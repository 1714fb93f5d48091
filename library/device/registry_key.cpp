#include "library/device/registry_key.h"

#include <cstring>

namespace pavu {

bool RegistryKey::open(HKEY root, const char* subKey, bool create, bool readOnly) {
    close();
    REGSAM access = readOnly ? KEY_READ : KEY_ALL_ACCESS;
    HKEY key = nullptr;
    LSTATUS rc;
    if (create) {
        char noClass[] = "";
        rc = RegCreateKeyExA(root, subKey, 0, noClass, 0, access, nullptr, &key, nullptr);
    } else {
        rc = RegOpenKeyExA(root, subKey, 0, access, &key);
    }
    if (rc != ERROR_SUCCESS) return false;
    key_ = key;
    return true;
}

void RegistryKey::close() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
}

DWORD RegistryKey::readString(const char* name, char* text, DWORD size) const {
    if (!key_ || !text || size == 0) return 0;
    DWORD type = 0;
    DWORD got = size;
    if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &got) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return 0;
    // The stored text may come without its terminator; never hand one out
    // without it.
    if (got == 0 || text[got - 1] != '\0') {
        if (got >= size) return 0;
        text[got++] = '\0';
    }
    return got;
}

bool RegistryKey::readNumber(const char* name, DWORD* value) const {
    if (!key_ || !value) return false;
    DWORD type = 0;
    DWORD v = 0;
    DWORD got = sizeof v;
    if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &got) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || got != 4)
        return false;
    *value = v;
    return true;
}

bool RegistryKey::writeString(const char* name, const char* text) const {
    if (!key_ || !text) return false;
    return RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
}

bool RegistryKey::writeNumber(const char* name, DWORD value) const {
    if (!key_) return false;
    return RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

bool RegistryKey::watch(HANDLE event) const {
    if (!key_ || !event) return false;
    return RegNotifyChangeKeyValue(key_, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE) ==
           ERROR_SUCCESS;
}

}  // namespace pavu
