// Until the library's diagnostic recorder is in, the bits are ORed into the
// registry value here, read once and kept for the process as the recorder
// keeps them; the one call below is what moves to the recorder.
#include "library/stills/error_bits.h"

#include <mutex>

#include "library/device/registry_key.h"

namespace pavstills {

namespace {
std::mutex bitsLock;
bool bitsRead = false;
DWORD bitsHeld = 0;
}  // namespace

void recordErrorBits(std::uint32_t bits) {
    try {
        std::lock_guard<std::mutex> guard(bitsLock);
        pavu::RegistryKey key;
        if (!key.open(HKEY_LOCAL_MACHINE, pavu::kProductKey, true, false)) return;
        if (!bitsRead) {
            DWORD held = 0;
            if (key.readNumber("DebugUserModeErr", &held)) bitsHeld = held;
            bitsRead = true;
        }
        bitsHeld |= bits;
        key.writeNumber("DebugUserModeErr", bitsHeld);
    } catch (...) {
        // A diagnostic that cannot be written changes nothing for the caller.
    }
}

}  // namespace pavstills
