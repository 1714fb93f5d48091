#include "twain/source/still_camera_binding.h"

#include <dlfcn.h>

#include <cstdlib>

#include "twain/source/data_source.h"

namespace pavtw {

namespace {

const char* const kSlotNames[] = {
    "PACI_CameraEnum", "PACI_HandleOpen", "PACI_HandleClose", "PACI_PropertyStreamRead",
    "PACI_PropertyStreamWrite", "PACI_PropertyStreamFree", "PACI_PropertySet", "PACI_PropertyGet",
    "PACI_ObjectEnum", "PACI_ReadPreview", "PACI_ReadFirstBlock", "PACI_ReadNextBlock",
    "PACI_CancelBlockTransfer", "PACI_Command", "PAVPI_HandleOpen", "PAVPI_HandleClose",
    "PAVPI_NotificationSet", "PAV_CreateEvent", "PAV_ResetEvent", "PAV_WaitForEvent", "PAV_CloseEvent"};

template <typename F>
F as(void* p) {
    return reinterpret_cast<F>(p);
}

}  // namespace

std::string userLibraryName() {
    const char* name = std::getenv("PAV512TW_USER_LIBRARY");
    return name && *name ? name : "libpav512u.so.1";
}

void* openBeside(const std::string& name) {
    // A bare name is looked for where the installed tree puts it (the source
    // sits in lib/twain, the libraries in lib/) and beside the source before
    // the loader's own search: a loader that does not see the source's run
    // path (a sanitizer's dlopen, for one) still finds the shipped library.
    if (name.find('/') == std::string::npos) {
        const std::string dir = moduleDirectory();
        for (const std::string& candidate : {dir + "../" + name, dir + name})
            if (void* m = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) return m;
    }
    return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

StillCameraBinding::StillCameraBinding() {
    module_ = openBeside(userLibraryName());
}

StillCameraBinding::~StillCameraBinding() {
    if (module_) ::dlclose(module_);
}

void* StillCameraBinding::resolve(Slot slot) {
    if (!module_) return nullptr;
    if (!slots_[slot]) slots_[slot] = ::dlsym(module_, kSlotNames[slot]);
    return slots_[slot];
}

#define PAVTW_CALL(slot, type, ...)                  \
    do {                                             \
        void* f = resolve(slot);                     \
        if (!f) return kNotImplemented;              \
        return as<type>(f)(__VA_ARGS__);             \
    } while (0)

PaciStatus StillCameraBinding::CameraEnum(std::uint32_t vid, std::uint32_t pid, std::uint32_t* numbers,
                                          std::uint32_t capacity, std::uint32_t* count) {
    using F = PaciStatus (*)(std::uint32_t, std::uint32_t, std::uint32_t*, std::uint32_t, std::uint32_t*);
    PAVTW_CALL(kCameraEnum, F, vid, pid, numbers, capacity, count);
}
PaciStatus StillCameraBinding::HandleOpen(std::uint32_t camera, PaciHandle* handle) {
    using F = PaciStatus (*)(std::uint32_t, PaciHandle*);
    PAVTW_CALL(kHandleOpen, F, camera, handle);
}
PaciStatus StillCameraBinding::HandleClose(PaciHandle* handle) {
    using F = PaciStatus (*)(PaciHandle*);
    PAVTW_CALL(kHandleClose, F, handle);
}
PaciStatus StillCameraBinding::PropertyStreamRead(PaciHandle h, std::uint32_t id, PaciStream* stream) {
    using F = PaciStatus (*)(PaciHandle, std::uint32_t, PaciStream*);
    PAVTW_CALL(kStreamRead, F, h, id, stream);
}
PaciStatus StillCameraBinding::PropertyStreamWrite(PaciHandle h, std::uint32_t id, PaciStream stream) {
    using F = PaciStatus (*)(PaciHandle, std::uint32_t, PaciStream);
    PAVTW_CALL(kStreamWrite, F, h, id, stream);
}
PaciStatus StillCameraBinding::PropertyStreamFree(PaciHandle h, PaciStream stream) {
    using F = PaciStatus (*)(PaciHandle, PaciStream);
    PAVTW_CALL(kStreamFree, F, h, stream);
}
PaciStatus StillCameraBinding::PropertySet(PaciHandle h, PaciStream s, const PAV_GUID* set,
                                           std::uint32_t key, std::uint32_t length, const void* value) {
    using F = PaciStatus (*)(PaciHandle, PaciStream, const PAV_GUID*, std::uint32_t, std::uint32_t,
                             const void*);
    PAVTW_CALL(kPropSet, F, h, s, set, key, length, value);
}
PaciStatus StillCameraBinding::PropertyGet(PaciHandle h, PaciStream s, const PAV_GUID* set,
                                           std::uint32_t key, std::uint32_t length, void* value) {
    using F = PaciStatus (*)(PaciHandle, PaciStream, const PAV_GUID*, std::uint32_t, std::uint32_t, void*);
    PAVTW_CALL(kPropGet, F, h, s, set, key, length, value);
}
PaciStatus StillCameraBinding::ObjectEnum(PaciHandle h, std::uint32_t format, std::uint32_t parent,
                                          std::uint32_t* ids, std::uint32_t capacity, std::uint32_t* total) {
    using F = PaciStatus (*)(PaciHandle, std::uint32_t, std::uint32_t, std::uint32_t*, std::uint32_t,
                             std::uint32_t*);
    PAVTW_CALL(kObjectEnum, F, h, format, parent, ids, capacity, total);
}
PaciStatus StillCameraBinding::ReadPreview(PaciHandle h, std::uint32_t id, void* buffer, std::uint32_t length) {
    using F = PaciStatus (*)(PaciHandle, std::uint32_t, void*, std::uint32_t);
    PAVTW_CALL(kReadPreview, F, h, id, buffer, length);
}
PaciStatus StillCameraBinding::ReadFirstBlock(PaciHandle h, std::uint32_t id, void* buffer,
                                              std::uint32_t length, std::uint32_t* got) {
    using F = PaciStatus (*)(PaciHandle, std::uint32_t, void*, std::uint32_t, std::uint32_t*);
    PAVTW_CALL(kReadFirst, F, h, id, buffer, length, got);
}
PaciStatus StillCameraBinding::ReadNextBlock(PaciHandle h, void* buffer, std::uint32_t length,
                                             std::uint32_t* got, std::uint32_t* sofar) {
    using F = PaciStatus (*)(PaciHandle, void*, std::uint32_t, std::uint32_t*, std::uint32_t*);
    PAVTW_CALL(kReadNext, F, h, buffer, length, got, sofar);
}
PaciStatus StillCameraBinding::CancelBlockTransfer(PaciHandle h) {
    using F = PaciStatus (*)(PaciHandle);
    PAVTW_CALL(kCancel, F, h);
}
PaciStatus StillCameraBinding::Command(PaciHandle h, const PAV_GUID* set, std::uint32_t key,
                                       std::uint32_t arg1, std::uint32_t arg2) {
    using F = PaciStatus (*)(PaciHandle, const PAV_GUID*, std::uint32_t, std::uint32_t, std::uint32_t);
    PAVTW_CALL(kCommand, F, h, set, key, arg1, arg2);
}
PaciStatus StillCameraBinding::PavpiHandleOpen(std::uint32_t camera, PavpiHandle* handle) {
    using F = PaciStatus (*)(std::uint32_t, PavpiHandle*);
    PAVTW_CALL(kPavpiOpen, F, camera, handle);
}
PaciStatus StillCameraBinding::PavpiHandleClose(PavpiHandle* handle) {
    using F = PaciStatus (*)(PavpiHandle*);
    PAVTW_CALL(kPavpiClose, F, handle);
}
PaciStatus StillCameraBinding::PavpiNotificationSet(PavpiHandle h, const PAV_GUID* set, std::uint32_t id,
                                                    PAV_EVENT event) {
    using F = PaciStatus (*)(PavpiHandle, const PAV_GUID*, std::uint32_t, PAV_EVENT);
    PAVTW_CALL(kPavpiNotify, F, h, set, id, event);
}
#undef PAVTW_CALL

PAV_EVENT StillCameraBinding::CreateEvent(bool manualReset) {
    void* f = resolve(kCreateEvent);
    return f ? as<PAV_EVENT (*)(int, int)>(f)(manualReset ? 1 : 0, 0) : nullptr;
}
bool StillCameraBinding::ResetEvent(PAV_EVENT event) {
    void* f = resolve(kResetEvent);
    return f && event && as<int (*)(PAV_EVENT)>(f)(event) != 0;
}
bool StillCameraBinding::EventSignalled(PAV_EVENT event) {
    void* f = resolve(kWaitEvent);
    return f && event && as<std::uint32_t (*)(PAV_EVENT, std::uint32_t)>(f)(event, 0) == PAV_WAIT_OBJECT_0;
}
void StillCameraBinding::CloseEvent(PAV_EVENT event) {
    void* f = resolve(kCloseEvent);
    if (f && event) as<int (*)(PAV_EVENT)>(f)(event);
}

}  // namespace pavtw
