// The error-bit recorder: what failed in this process (and in the ones before
// it) as bits of one registry value, for a service tool to read.
#include <atomic>
#include <mutex>

#include "library/device/pavdebug_internal.h"
#include "library/device/registry_key.h"

namespace pavu {
namespace {

std::atomic<std::uint32_t> held{0};

std::mutex& writeLock() {
    static auto* m = new std::mutex();
    return *m;
}

}  // namespace

void loadUserModeErrors() {
    RegistryKey key;
    DWORD value = 0;
    // Nothing stored (or unreadable) starts from no bits.
    if (!key.open(HKEY_LOCAL_MACHINE, kProductKey, true, false) ||
        !key.readNumber(kUserModeErrorValue, &value))
        value = 0;
    held.store(value);
}

void recordUserModeError(std::uint32_t bits) {
    try {
        // The writes keep the order of the ORs, so the value stored last holds
        // every bit recorded so far.
        std::lock_guard<std::mutex> g(writeLock());
        std::uint32_t value = held.fetch_or(bits) | bits;
        RegistryKey key;
        if (key.open(HKEY_LOCAL_MACHINE, kProductKey, true, false))
            key.writeNumber(kUserModeErrorValue, value);
    } catch (...) {
        // A recorder that cannot record must not become the failure.
    }
}

std::uint32_t userModeErrors() {
    return held.load();
}

}  // namespace pavu
