// The user library as the data source reaches it: loaded by name at run time,
// one slot per entry point, each resolved by name on its first use. A call
// through a slot that does not resolve (or without the library) returns
// kNotImplemented without reaching the library, and the slot is tried again
// on the next call.
#pragma once

#include <cstdint>
#include <string>

#include "pav512u/pav512u.h"

namespace pavtw {

using PaciHandle = void*;
using PaciStream = void*;
using PavpiHandle = void*;
using PaciStatus = std::uint32_t;

constexpr PaciStatus kPaciSuccess = 0;
constexpr PaciStatus kNotImplemented = 9;
constexpr PaciStatus kPaciMoreData = 103;

// The library's file name; PAV512TW_USER_LIBRARY overrides it (a path or a
// name), so a test can stand a library of its own in.
std::string userLibraryName();
// Opens a library of that name: a bare name first in the folder above the
// source and beside it, then along the loader's path; null when none loads.
void* openBeside(const std::string& name);

class StillCameraBinding {
  public:
    StillCameraBinding();
    ~StillCameraBinding();
    StillCameraBinding(const StillCameraBinding&) = delete;
    StillCameraBinding& operator=(const StillCameraBinding&) = delete;
    bool loaded() const { return module_ != nullptr; }

    PaciStatus CameraEnum(std::uint32_t vid, std::uint32_t pid, std::uint32_t* numbers,
                          std::uint32_t capacity, std::uint32_t* count);
    PaciStatus HandleOpen(std::uint32_t camera, PaciHandle* handle);
    PaciStatus HandleClose(PaciHandle* handle);
    PaciStatus PropertyStreamRead(PaciHandle h, std::uint32_t id, PaciStream* stream);
    PaciStatus PropertyStreamWrite(PaciHandle h, std::uint32_t id, PaciStream stream);
    PaciStatus PropertyStreamFree(PaciHandle h, PaciStream stream);
    PaciStatus PropertySet(PaciHandle h, PaciStream s, const PAV_GUID* set, std::uint32_t key,
                           std::uint32_t length, const void* value);
    PaciStatus PropertyGet(PaciHandle h, PaciStream s, const PAV_GUID* set, std::uint32_t key,
                           std::uint32_t length, void* value);
    PaciStatus ObjectEnum(PaciHandle h, std::uint32_t format, std::uint32_t parent, std::uint32_t* ids,
                          std::uint32_t capacity, std::uint32_t* total);
    PaciStatus ReadPreview(PaciHandle h, std::uint32_t id, void* buffer, std::uint32_t length);
    PaciStatus ReadFirstBlock(PaciHandle h, std::uint32_t id, void* buffer, std::uint32_t length,
                              std::uint32_t* got);
    PaciStatus ReadNextBlock(PaciHandle h, void* buffer, std::uint32_t length, std::uint32_t* got,
                             std::uint32_t* sofar);
    PaciStatus CancelBlockTransfer(PaciHandle h);
    PaciStatus Command(PaciHandle h, const PAV_GUID* set, std::uint32_t key, std::uint32_t arg1,
                       std::uint32_t arg2);

    // The camera-state watch's part of the video property interface, and the
    // library's own events (its notifications signal only those).
    PaciStatus PavpiHandleOpen(std::uint32_t camera, PavpiHandle* handle);
    PaciStatus PavpiHandleClose(PavpiHandle* handle);
    PaciStatus PavpiNotificationSet(PavpiHandle h, const PAV_GUID* set, std::uint32_t id, PAV_EVENT event);
    PAV_EVENT CreateEvent(bool manualReset);
    bool ResetEvent(PAV_EVENT event);
    // True when the event is signalled (polled, no wait).
    bool EventSignalled(PAV_EVENT event);
    void CloseEvent(PAV_EVENT event);

  private:
    enum Slot {
        kCameraEnum, kHandleOpen, kHandleClose, kStreamRead, kStreamWrite, kStreamFree, kPropSet,
        kPropGet, kObjectEnum, kReadPreview, kReadFirst, kReadNext, kCancel, kCommand,
        kPavpiOpen, kPavpiClose, kPavpiNotify, kCreateEvent, kResetEvent, kWaitEvent, kCloseEvent,
        kSlotCount
    };
    void* resolve(Slot slot);
    void* module_ = nullptr;
    void* slots_[kSlotCount] = {};
};

}  // namespace pavtw
