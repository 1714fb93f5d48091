// The stream interface's connection with the capture minidriver: the stream
// request block as both sides use it, the routines each side hands the other
// through the connect record (as 32-bit tokens of the routine table), and the
// connection state the driver keeps in its DeviceContext.
#pragma once

#include <mutex>
#include <type_traits>

#include "driver/core/support.h"
#include "platform/kernel/routine_table.h"
#include "platform/kernel/wdm.h"

struct DeviceContext;
struct HW_STREAM_OBJECT;

// The stream class's request block, with the fields the driver uses, in order.
struct HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    ULONG Command;
    NTSTATUS Status;
    HW_STREAM_OBJECT* StreamObject;
    PVOID HwDeviceExtension;
    PVOID SRBExtension;  // the driver's private completion node
    union {
        PVOID Data;
        ULONG StreamState;
        PVOID PropertyInfo;
        PVOID DataBufferArray;
    } CommandData;
    ULONG NumberOfBuffers;
    ULONG TimeoutCounter;
    ULONG TimeoutOriginal;
    HW_STREAM_REQUEST_BLOCK* NextSRB;
    PIRP Irp;
    ULONG Flags;
    PVOID HwInstanceExtension;
    ULONG ActualBytesTransferred;
};

// Command codes of request blocks. Codes below 0x100 are stream requests and
// complete through the minidriver's stream-request routine; the others are
// device requests.
constexpr ULONG SRB_READ_DATA = 0x00;
constexpr ULONG SRB_GET_STREAM_STATE = 0x02;
constexpr ULONG SRB_SET_STREAM_STATE = 0x03;
constexpr ULONG SRB_SET_STREAM_PROPERTY = 0x04;
constexpr ULONG SRB_GET_STREAM_PROPERTY = 0x05;
constexpr ULONG SRB_INDICATE_MASTER_CLOCK = 0x07;
constexpr ULONG SRB_PROPOSE_DATA_FORMAT = 0x0A;
constexpr ULONG SRB_SET_DATA_FORMAT = 0x0D;
constexpr ULONG SRB_GET_STREAM_INFO = 0x100;
constexpr ULONG SRB_OPEN_STREAM = 0x101;
constexpr ULONG SRB_CLOSE_STREAM = 0x102;
constexpr ULONG SRB_OPEN_DEVICE_INSTANCE = 0x103;
constexpr ULONG SRB_CLOSE_DEVICE_INSTANCE = 0x104;
constexpr ULONG SRB_GET_DEVICE_PROPERTY = 0x105;
constexpr ULONG SRB_SET_DEVICE_PROPERTY = 0x106;
constexpr ULONG SRB_INITIALIZE_DEVICE = 0x107;
constexpr ULONG SRB_CHANGE_POWER_STATE = 0x108;
constexpr ULONG SRB_UNINITIALIZE_DEVICE = 0x109;
constexpr ULONG SRB_GET_DATA_INTERSECTION = 0x10C;
constexpr ULONG SRB_INITIALIZATION_COMPLETE = 0x10D;
constexpr bool isStreamRequest(ULONG command) {
    return command < 0x100;
}

// What the minidriver passes to the watch routine: Enable nonzero registers a
// watch of (Set, Id), zero removes this record's watch; Context comes back as
// the property-change routine's context.
struct SRB_WATCH_RECORD {
    ULONG Enable;
    GUID Set;
    ULONG Id;
    PVOID Context;
};

// The minidriver's routines, as their tokens must resolve.
using SrbDeviceRequestComplete = void(PVOID hwDeviceExtension, HW_STREAM_REQUEST_BLOCK* srb);
using SrbStreamRequestComplete = void(HW_STREAM_OBJECT* stream, HW_STREAM_REQUEST_BLOCK* srb);
using SrbFilterRegistration = NTSTATUS(PDEVICE_OBJECT physicalDevice, const GUID* category,
                                       ULONG pinCount);
using SrbMasterClockQuery = LONGLONG(PVOID clock);
using SrbPropertyChange = std::remove_pointer_t<PropertyChangeRoutine>;
using SrbStreamReceive = void(HW_STREAM_REQUEST_BLOCK* srb);
using SrbDeviceEvent = NTSTATUS(PVOID eventData);

// The driver's routines handed out at connect. Their first argument is the
// device record token the connect returned.
using SrbDriverReceive = void(ULONG deviceRecord, HW_STREAM_REQUEST_BLOCK* srb);
using SrbDriverCancel = void(ULONG deviceRecord, HW_STREAM_REQUEST_BLOCK* srb);
using SrbDriverTimeout = void(ULONG deviceRecord, HW_STREAM_REQUEST_BLOCK* srb);
using SrbDriverWatch = void(ULONG deviceRecord, SRB_WATCH_RECORD* record);

// The minidriver's side of a connection, resolved from the connect record.
struct SrbifCallbacks {
    SrbDeviceRequestComplete* deviceRequestComplete = nullptr;
    SrbStreamRequestComplete* streamRequestComplete = nullptr;
    SrbFilterRegistration* filterRegistration = nullptr;
    SrbMasterClockQuery* masterClockQuery = nullptr;
    SrbPropertyChange* propertyChange = nullptr;
    SrbStreamReceive* streamReceive = nullptr;
    ULONG minidriverContext = 0;  // kept and passed back unchanged
    SrbDeviceEvent* deviceEvent = nullptr;

    bool empty() const {
        return !deviceRequestComplete && !streamRequestComplete && !filterRegistration &&
               !masterClockQuery && !propertyChange && !streamReceive && !deviceEvent &&
               minidriverContext == 0;
    }
};

// The driver's side: tokens of its four routines and of the device record.
struct SrbifDriverTokens {
    kroutine::Token receive = 0;
    kroutine::Token cancel = 0;
    kroutine::Token timeout = 0;
    kroutine::Token watch = 0;
    kroutine::Token deviceRecord = 0;
};

// Connection state in the DeviceContext. The tokens it handed out are
// withdrawn when the device record goes, so a minidriver that never
// disconnected cannot reach a freed device.
class SrbifConnection {
  public:
    SrbifConnection() = default;
    ~SrbifConnection();
    SrbifConnection(const SrbifConnection&) = delete;
    SrbifConnection& operator=(const SrbifConnection&) = delete;

    SrbifCallbacks callbacks() const;
    bool connected() const;

  private:
    friend void SRBIF_SetStreamCallbacks(DeviceContext* device, const SrbifCallbacks& callbacks);
    friend SrbifDriverTokens SRBIF_DriverTokens(DeviceContext* device);
    friend class MinidriverCall;

    // Orders connects and disconnects; a disconnect holds it while it waits.
    std::mutex changeLock_;
    mutable std::mutex lock_;
    // Calls into the minidriver's routines in progress.
    Rundown calls_;
    SrbifCallbacks callbacks_;
    bool connected_ = false;
    SrbifDriverTokens tokens_;
};

// Every call into one of the minidriver's routines is made inside one of
// these: the routines it hands out stay valid while it lives, and a
// disconnect waits until it is gone. Empty routines when not connected.
class MinidriverCall {
  public:
    explicit MinidriverCall(DeviceContext* device);
    ~MinidriverCall();
    MinidriverCall(const MinidriverCall&) = delete;
    MinidriverCall& operator=(const MinidriverCall&) = delete;
    const SrbifCallbacks& routines() const { return callbacks_; }

  private:
    SrbifConnection& connection_;
    bool entered_;
    SrbifCallbacks callbacks_;
};

// Stores the minidriver's routines; all zero disconnects: it returns once no
// call into the minidriver is in progress, and the driver calls none of its
// routines afterwards (so it must not be called from inside one of them).
// Also connects the property-change routine to the watch list.
void SRBIF_SetStreamCallbacks(DeviceContext* device, const SrbifCallbacks& callbacks);
// The tokens for the outbound half of the connect record, made on first use.
// Zero tokens when the routine table is full.
SrbifDriverTokens SRBIF_DriverTokens(DeviceContext* device);
// Hands a request block back to the minidriver through the routine its
// command calls for.
void SRBIF_CompleteToMinidriver(DeviceContext* device, HW_STREAM_REQUEST_BLOCK* srb);
