// `RegistryKey`: the library's wrapper of one registry key. The key is closed
// when the wrapper goes, on every way out of the code that opened it; every
// operation on a wrapper whose key is not open fails without asking the
// registry.
#pragma once

#include <cstdint>
#include <string>

#include "platform/user/registry_api.h"

namespace pavu {

class RegistryKey {
  public:
    RegistryKey() = default;
    ~RegistryKey() { close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // With `create` the key is made if missing. Read-only asks KEY_READ, else
    // KEY_ALL_ACCESS. False (and not open) on failure.
    bool open(HKEY root, const char* subKey, bool create, bool readOnly);
    void close();
    bool isOpen() const { return key_ != nullptr; }

    // Only a REG_SZ value; the bytes read with the terminator, 0 on failure.
    DWORD readString(const char* name, char* text, DWORD size) const;
    // Only a REG_DWORD of exactly 4 bytes.
    bool readNumber(const char* name, DWORD* value) const;
    bool writeString(const char* name, const char* text) const;
    bool writeNumber(const char* name, DWORD value) const;
    // Signals `event` once on the next change of a value of this key (not of
    // its subkeys); also when the key is closed.
    bool watch(HANDLE event) const;

  private:
    HKEY key_ = nullptr;
};

// The library's key under either root.
constexpr char kProductKey[] = "Software\\Veltra\\USB Camera (PAV512)";

}  // namespace pavu
