// The driver's records: DriverContext (one per loaded driver) and
// DeviceContext (one per camera, the device object's extension). Every module
// of the driver keeps its state in the DeviceContext.
#pragma once

#include <atomic>

#include "driver/camera/camera.h"
#include "driver/camera/camprop.h"
#include "driver/camera/ptp_responder.h"
#include "driver/camera/usbstrm.h"
#include "driver/core/cti.h"
#include "driver/core/frame.h"
#include "driver/core/modules.h"
#include "driver/core/propman.h"
#include "driver/core/ptpif.h"
#include "driver/core/srbif.h"
#include "driver/core/support.h"
#include "platform/kernel/wdm.h"

// Client identifier of the driver object extension holding the DriverContext.
inline PVOID const kDriverContextId = reinterpret_cast<PVOID>(std::uintptr_t{1});

// Kept trivially destructible: the driver object's extension is released
// without running destructors.
struct DriverContext {
    // Reserved driver-wide lock; nothing takes it yet.
    KEVENT driverEvent;
    // Incremented by every AddDevice; its new value numbers the device name,
    // so a camera plugged in later never reuses an earlier name.
    volatile LONG deviceCounter;
    // Where admitted requests go once the gate lets them through. A host may
    // put its own routes here (the tests hold requests in a stand-in module).
    PDRIVER_DISPATCH deviceControlRoute;
    PDRIVER_DISPATCH internalControlRoute;
    // The module initialise/terminate pairs in start order.
    ModuleOps modules[kModuleCount];
};

DriverContext* driverContextOf(PDRIVER_OBJECT driver);

// PnpState values.
constexpr LONG kPnpAdded = 1;
constexpr LONG kPnpStarted = 2;
constexpr LONG kPnpStreamPoweredDown = 3;
constexpr LONG kPnpStreamPoweredUp = 4;
constexpr LONG kPnpStopped = 5;
constexpr LONG kPnpRemoved = 6;

// Reads a property (the property manager's request path). Until the property
// manager connects, there is none and every read fails.
using PropertyRequestHook = NTSTATUS (*)(DeviceContext* device, const GUID* set, ULONG identifier,
                                         bool write, PVOID data, ULONG inputSize, ULONG outputSize,
                                         ULONG* actualSize);

struct DeviceContext {
    PDEVICE_OBJECT self = nullptr;  // the device object this record extends
    DriverContext* driver = nullptr;
    PDEVICE_OBJECT physicalDevice = nullptr;
    PDEVICE_OBJECT lowerDevice = nullptr;

    // Kernel support services.
    Worker worker;
    TickTimer tick;
    TickHooks tickHooks;
    LockTrace lockTrace;
    WatchList watches;

    // Plug and Play and power.
    DEVICE_CAPABILITIES capabilities{};
    volatile LONG devicePowerState = 0;
    volatile LONG systemPowerState = 0;
    PVOID volatile waitWakeIrp = nullptr;  // exchanged atomically
    // Wait-wake requests passed down and not yet back; removal waits for
    // them so that none is pending below a deleted device.
    volatile LONG waitWakeBelow = 0;
    // Who finishes a wait-wake request that a canceller took from the slot
    // while the bus was completing it: the canceller names it in
    // waitWakeCancelling until its cancel has returned, and a completion
    // that meets it there parks the request in waitWakeParked for the
    // canceller to finish. Both under waitWakeLock; cancellers one at a time.
    KSPIN_LOCK waitWakeLock;
    PIRP waitWakeCancelling = nullptr;
    PIRP waitWakeParked = nullptr;
    KEVENT waitWakeCancelMutex;
    UNICODE_STRING interfaceName{};
    volatile LONG pnpState = 0;
    std::atomic<PropertyRequestHook> propertyRequest{nullptr};

    // The request gate.
    KSPIN_LOCK gateLock;  // orders holding against appends to the held queue
    RequestFifo heldQueue;
    volatile LONG outstanding = 0;
    KEVENT idleEvent;
    // Command sessions, PTP sessions and capture streams open; the stop veto
    // refuses while any is.
    volatile LONG openSessions = 0;
    std::atomic<bool> running{false};
    std::atomic<bool> holding{false};
    std::atomic<bool> stopped{false};
    // Dispatches that have entered the modules and not yet returned. A stop
    // closes it with "stopped" and waits for it before the modules go.
    Rundown moduleCalls;
    // Set once a stop has given those calls their grace: a call that would
    // go on blocking (a diagnostic transfer) gives up.
    std::atomic<bool> callsCancelled{false};
    // Held requests that are run on a thread of their own when released,
    // so that one that blocks holds up neither the start nor the veto.
    struct HeldLane* lanes = nullptr;  // under gateLock

    // Later modules add their state below.

    // Command transport.
    CtiState cti;
    // PTP transport and the camera engine's PTP responder.
    PtpState ptp;
    PtpResponderState ptpResponder;

    // Camera engine: the USB interface layer and the streams.
    UsbInterfaceState usbif;
    StreamList streams;
    // Camera engine: the camera object.
    CameraState camera;

    // The capture minidriver's connection.
    SrbifConnection srbif;
    // The stream interface: request blocks, streams, formats.
    SrbifState srbifState;

    // Property manager, and the camera side of the properties.
    PropManState propman{&lockTrace};
    CamPropState camprop;

    // Frame manager.
    FrameState frame;
};

inline DeviceContext* deviceContextOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceContext*>(device->DeviceExtension);
}

// Moves PnpState to kPnpStreamPoweredDown or kPnpStreamPoweredUp for the stream
// interface; refused (false, nothing changed) while the device is added or
// stopped, or for any other state.
bool setStreamPowerState(DeviceContext* device, LONG state);
