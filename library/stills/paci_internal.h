// What the parts of the still camera interface share inside the library: the
// handle, identifier conversions, the PTP status mapping, the PTP phases the
// operations are built from, the call lock and the dataset reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "library/stills/paci_ptp.h"
#include "library/stills/still_camera_adapters.h"
#include "pav512u/paci.h"
#include "pav512u/pavpi.h"
#include "platform/user/handles.h"

struct PACI_HANDLE_S {
    std::uint32_t magic = 0;
    PAVPI_HANDLE video = nullptr;
    // Null once the worker has closed it after a camera-state notification.
    paci::PtpChannel ptp = nullptr;
    std::uint32_t connection = 0;  // the PTP channel's connection identifier
    HANDLE notification = nullptr;  // auto-reset, the camera-state notification
    HANDLE stop = nullptr;          // auto-reset, ends the worker
    std::thread worker;
    std::uint32_t session = 0;  // 1 once the PTP session is open
    std::uint32_t locked = 0;   // this handle holds the camera lock
    PACI_ID blockObject = 0;
    std::uint32_t blockOffset = 0;
    std::uint32_t blockTotal = 0;
    paci::Decoders decoders;  // the JPEG library and the scaler bindings
    // The worker closes the PTP channel on its own thread while the caller's
    // thread may be in the middle of an operation on it: the operation holds
    // this for its whole length and the worker takes it before closing.
    std::mutex channelLock;
};

namespace paci {

constexpr std::uint32_t kHandleMagic = 0x49434150;  // "PACI"

// PTP operation codes.
enum Operation : std::uint16_t {
    kGetDeviceInfo = 0x1001,
    kOpenSession = 0x1002,
    kCloseSession = 0x1003,
    kGetStorageIds = 0x1004,
    kGetStorageInfo = 0x1005,
    kGetNumObjects = 0x1006,
    kGetObjectHandles = 0x1007,
    kGetObjectInfo = 0x1008,
    kGetObject = 0x1009,
    kDeleteObject = 0x100B,
};

constexpr std::uint16_t kFormatJpeg = 0x3801;
// What a GetObjectInfo dataset must hold to be read at all (up to ParentObject).
constexpr std::size_t kObjectInfoMinimum = 42;
constexpr std::uint32_t kCallLockTimeout = 2000;
constexpr std::uint32_t kDatasetSlice = 200;

// Identifiers.
constexpr bool isStorage(PACI_ID id) {
    return id != 0 && id != PACI_ID_DEVICE && (id & 0x00FFFFFFu) == 0;
}
constexpr bool isObject(PACI_ID id) { return id != PACI_ID_DEVICE && (id & 0x00FFFFFFu) != 0; }
constexpr PACI_ID storageToId(std::uint32_t storage) {
    return ((storage >> 16) << 28) | ((storage & 0xFu) << 24);
}
constexpr std::uint32_t idToStorage(PACI_ID id) { return ((id >> 28) << 16) | ((id >> 24) & 0xFu); }

// The PTP client's status as a PACI status.
PACI_STATUS mapPtpStatus(std::uint32_t ptp);
// The text table: the status's name, or null for a code without text.
const char* statusName(PACI_STATUS status);

// The handle is one this process opened and has not closed.
bool validHandle(PACI_HANDLE handle);

inline std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}
inline std::uint64_t le64(const std::uint8_t* p) {
    return std::uint64_t{le32(p)} | (std::uint64_t{le32(p + 4)} << 32);
}

// One operation's hold on the handle's channel (against the worker's close)
// and, unless the handle holds the camera lock already, on the camera lock for
// the operation's length.
class CallLock {
  public:
    explicit CallLock(PACI_HANDLE h);
    ~CallLock();
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;
    // SUCCESS, or the mapped status of the lock that could not be taken.
    PACI_STATUS status() const { return status_; }

  private:
    PACI_HANDLE h_;
    std::unique_lock<std::mutex> channel_;
    bool took_ = false;
    PACI_STATUS status_ = PACI_STATUS_SUCCESS;
};

// Makes sure the camera's PTP session is open while the lock is held (another
// handle closing its own session closes the camera's one). Ignores failures.
void reopenSession(PACI_HANDLE h);

// The phases of one transaction on the handle's channel (caller holds the
// channel and the camera lock). Statuses are mapped.
PACI_STATUS commandPhase(PACI_HANDLE h, std::uint16_t operation,
                         const std::vector<std::uint32_t>& parameters);
// One data phase into `buffer` of `length` bytes; `phase` tells what came.
PACI_STATUS dataPhase(PACI_HANDLE h, std::uint16_t operation, void* buffer, std::uint32_t length,
                      PtpPhase* phase);
// The response phase; its parameters (up to five) when asked for.
PACI_STATUS responsePhase(PACI_HANDLE h, std::uint16_t operation,
                          std::vector<std::uint32_t>* parameters = nullptr);

// After the first data phase of a transaction failed with `dataStatus`: the
// camera's response code when the response phase has one to report.
PACI_STATUS refusedDataPhase(PACI_HANDLE h, std::uint16_t operation, PACI_STATUS dataStatus);
// A whole dataset in 200-byte data phases, reassembled (caller holds the lock).
PACI_STATUS readDataset(PACI_HANDLE h, std::uint16_t operation,
                        const std::vector<std::uint32_t>& parameters,
                        std::vector<std::uint8_t>* dataset);
// GetNumObjects: the count from the response's first parameter.
PACI_STATUS readObjectCount(PACI_HANDLE h, std::uint32_t storage, std::uint32_t format,
                            std::uint32_t parent, std::uint32_t* count);
// GetObject into the caller's buffer (caller holds the lock): BUFFER_TOO_SMALL
// when the object is larger.
PACI_STATUS readWholeObject(PACI_HANDLE h, PACI_ID id, void* buffer, std::uint32_t length);

// The property stream of `id`, read under the lock the caller holds.
PACI_STATUS readPropertyStream(PACI_HANDLE h, PACI_ID id, PACI_PROPERTY_STREAM** stream);
void freePropertyStream(PACI_PROPERTY_STREAM* stream);

}  // namespace paci
