#include "library/device/library.h"

#include <mutex>

#include "library/device/cti_internal.h"
#include "library/device/device_registry.h"
#include "library/device/export_guard.h"
#include "library/device/pavdebug_internal.h"
#include "library/device/pavpi_internal.h"
#include "library/device/ptp_internal.h"
#include "pav512u/pav512u.h"
#include "platform/user/handles.h"

namespace pavu {
namespace {

std::mutex& stateLock() {
    static auto* m = new std::mutex();
    return *m;
}
bool attached = false;

}  // namespace

void processAttach() {
    std::lock_guard<std::mutex> g(stateLock());
    if (attached) return;
    attached = true;
    createRegistryLock();
    vpiAttach();
    loadUserModeErrors();
}

void processDetach() {
    std::lock_guard<std::mutex> g(stateLock());
    if (!attached) return;
    attached = false;
    // Sessions first: each holds a property handle of its own.
    ctiDetach();
    ptpDetach();
    vpiDetach();
    closeRegistryLock();
}

}  // namespace pavu

using namespace pavu;

extern "C" {

PAV512U_API PAV_EVENT PAV_CreateEvent(int manualReset, int initiallySignalled) {
    return guarded<PAV_EVENT>(nullptr, [&] {
        return static_cast<PAV_EVENT>(CreateEventA(nullptr, manualReset, initiallySignalled, nullptr));
    });
}

PAV512U_API int PAV_SetEvent(PAV_EVENT event) {
    return guarded<int>(0, [&] { return SetEvent(event); });
}

PAV512U_API int PAV_ResetEvent(PAV_EVENT event) {
    return guarded<int>(0, [&] { return ResetEvent(event); });
}

PAV512U_API uint32_t PAV_WaitForEvent(PAV_EVENT event, uint32_t milliseconds) {
    return guarded<uint32_t>(PAV_WAIT_FAILED, [&] {
        // Only events: a mutex or channel of the library is none of the caller's business.
        void* e = uhandle::reference(event, uhandle::Kind::Event);
        if (!e) return PAV_WAIT_FAILED;
        ObfDereferenceObject(e);
        return WaitForSingleObject(event, milliseconds);
    });
}

PAV512U_API int PAV_CloseEvent(PAV_EVENT event) {
    return guarded<int>(0, [&] {
        void* e = uhandle::reference(event, uhandle::Kind::Event);
        if (!e) return 0;
        ObfDereferenceObject(e);
        return CloseHandle(event);
    });
}

}  // extern "C"
