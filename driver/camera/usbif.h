// The USB interface layer: the only place in the driver that builds URBs and
// hands them to the bus. It reads the camera's descriptors, finds the camera
// interface, selects its alternate settings (falling back to lower ones when
// the bus cannot grant the bandwidth), keeps the pipes of the current setting,
// submits URBs synchronously with a time-out or asynchronously, aborts and
// resets pipes, sends the camera's vendor requests and cycles the port.
#pragma once

#include "platform/usb/usb.h"

struct DeviceContext;

constexpr ULONG kUsbifTag = PoolTag("usbi");
constexpr LONGLONG kUsbifSubmitTimeout100ns = -100000000;  // 10 s, relative
constexpr ULONG kUsbifMaxTransferSize = 0x10000;
// A configuration descriptor larger than this is not believed.
constexpr USHORT kUsbifMaxConfigLength = 0x4000;

// Completion of an asynchronous URB: runs in completion context with the
// request and the URB; the return value goes back to the I/O manager.
using UsbCompletionRoutine = NTSTATUS (*)(DeviceContext* device, PIRP irp, PURB urb, PVOID context);

// Binds a caller's completion routine to a request. Embedded in the caller's
// own records where a resubmission must not allocate (the streams), allocated
// by the layer otherwise.
struct UsbCompletionRecord {
    DeviceContext* device;
    UsbCompletionRoutine routine;
    PVOID context;
    PURB urb;
};

// A vendor request in flight (asynchronous form); the caller keeps a slot
// pointing at it while it may want to cancel it.
struct UsbVendorRequest;
using UsbVendorDone = void (*)(DeviceContext* device, NTSTATUS status, USBD_STATUS usbdStatus,
                               ULONG transferred, PVOID context);

struct UsbInterfaceState {
    UsbInterfaceState() {
        KeInitializeEvent(&interfaceLock, SynchronizationEvent, TRUE);
        KeInitializeEvent(&asyncIdle, NotificationEvent, TRUE);
    }
    KEVENT interfaceLock;                            // an event used as a mutex
    PUSB_CONFIGURATION_DESCRIPTOR config = nullptr;  // whole descriptor, wTotalLength bytes
    LONG interfaceNumber = -1;
    LONG currentAlternate = 0;
    USBD_CONFIGURATION_HANDLE configHandle = nullptr;
    PUSBD_INTERFACE_INFORMATION info = nullptr;  // copy from the last successful selection
    // Identifiers read once at start.
    USHORT vendorId = 0;
    USHORT productId = 0;
    bool idsValid = false;
    // Asynchronous vendor requests still with the bus; termination waits for them.
    volatile LONG asyncOutstanding = 0;
    KEVENT asyncIdle;
};

NTSTATUS USBIF_Initialise(DeviceContext* device);
NTSTATUS USBIF_GetDeviceIds(DeviceContext* device, USHORT* vendorId, USHORT* productId);
NTSTATUS USBIF_SetCameraAlternate(DeviceContext* device, LONG interfaceNumber, LONG wanted,
                                  LONG* selected);
// Copies the pipe of `endpoint` in the current setting; false when there is
// none (or no setting is selected).
bool USBIF_GetPipeInfo(DeviceContext* device, UCHAR endpoint, USBD_PIPE_INFORMATION* pipe);
NTSTATUS USBIF_PipeRequest(DeviceContext* device, USHORT function, UCHAR endpoint);
// The camera's own command set always sends index 0; the command transport
// passes on what its client asked for.
// Synchronous vendor request when `done` is null: *length becomes the bytes
// moved (0 on failure); an in request fills all *length bytes of `buffer`,
// zeroes after what came, and only when it succeeded. A failed URB reports
// its own USBD error status rather than the request's. The bus never sees
// `buffer` itself, so a time-out leaves nothing of the caller's behind; it
// reports STATUS_IO_TIMEOUT with *length 0 (as do the descriptor reads, the
// pipe requests and the selection of a setting, which then stops trying
// lower settings and leaves no pipe of the old one).
// With `done`, the request goes out asynchronously on `buffer` (which must
// live until `done` runs), `*inFlight` (if given) points at it until it
// completes, and the call returns at once.
NTSTATUS USBIF_VendorRequest(DeviceContext* device, bool in, UCHAR request, USHORT value,
                             PVOID buffer, ULONG* length, UsbVendorDone done = nullptr,
                             PVOID context = nullptr,
                             UsbVendorRequest* volatile* inFlight = nullptr, USHORT index = 0);
// Takes the request out of the slot and cancels it if it is still in flight.
void USBIF_CancelVendorRequest(UsbVendorRequest* volatile* inFlight);
// Synchronous submission with the 10 s time-out, its cancel and second wait.
// The URB must come from ExAllocatePoolWithTag: STATUS_TIMEOUT leaves it to
// the layer, which frees it when the bus finally completes it; the caller
// must not touch it, nor the buffer it points at, again.
NTSTATUS USBIF_SubmitUrb(DeviceContext* device, PURB urb);
// Asynchronous submission on a request the layer allocates; the routine runs
// once, then the layer frees the request unless the routine returned
// STATUS_MORE_PROCESSING_REQUIRED (the routine then owns it).
NTSTATUS USBIF_SubmitUrbAsync(DeviceContext* device, PURB urb, UsbCompletionRoutine routine,
                              PVOID context, PIRP* irpUsed);
// Re-initialises a caller-owned request for the lower device and sets it up to
// carry `urb` with `record`'s routine; then USBIF_CallLower sends it.
void USBIF_PrepareAsync(DeviceContext* device, PIRP irp, PURB urb, UsbCompletionRecord* record);
NTSTATUS USBIF_CallLower(DeviceContext* device, PIRP irp);
NTSTATUS USBIF_USBDRequest(DeviceContext* device, ULONG ioControlCode);
NTSTATUS USBIF_CyclePort(DeviceContext* device);
void USBIF_Terminate(DeviceContext* device);
// The start sequence's query: reads and keeps the device identifiers.
NTSTATUS USBIF_StartupQuery(DeviceContext* device);
