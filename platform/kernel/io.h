// The I/O model: requests (IRPs) with stack locations, completion routines and
// cancellation; driver and device objects with their stacks; device interfaces.
// Named and shaped as the WDM I/O manager, so a reader who knows WDM reads the
// driver at once.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/dispatcher.h"
#include "platform/kernel/object.h"
#include "platform/kernel/spinlock.h"

struct IRP;
struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct FILE_OBJECT;
using PIRP = IRP*;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PFILE_OBJECT = FILE_OBJECT*;

using DEVICE_TYPE = ULONG;
constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;
constexpr DEVICE_TYPE FILE_DEVICE_BUS_EXTENDER = 0x2A;
constexpr DEVICE_TYPE FILE_DEVICE_USB = FILE_DEVICE_UNKNOWN;

// Major functions.
constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

// Plug and Play minor functions.
constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
constexpr UCHAR IRP_MN_QUERY_RESOURCES = 0x0A;
constexpr UCHAR IRP_MN_QUERY_RESOURCE_REQUIREMENTS = 0x0B;
constexpr UCHAR IRP_MN_QUERY_DEVICE_TEXT = 0x0C;
constexpr UCHAR IRP_MN_FILTER_RESOURCE_REQUIREMENTS = 0x0D;
constexpr UCHAR IRP_MN_READ_CONFIG = 0x0F;
constexpr UCHAR IRP_MN_WRITE_CONFIG = 0x10;
constexpr UCHAR IRP_MN_EJECT = 0x11;
constexpr UCHAR IRP_MN_SET_LOCK = 0x12;
constexpr UCHAR IRP_MN_QUERY_ID = 0x13;
constexpr UCHAR IRP_MN_QUERY_PNP_DEVICE_STATE = 0x14;
constexpr UCHAR IRP_MN_QUERY_BUS_INFORMATION = 0x15;
constexpr UCHAR IRP_MN_DEVICE_USAGE_NOTIFICATION = 0x16;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

// Power minor functions.
constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;
constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;

// Stack location control flags.
constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

// Device object flags.
constexpr ULONG DO_VERIFY_VOLUME = 0x00000002;
constexpr ULONG DO_BUFFERED_IO = 0x00000004;
constexpr ULONG DO_EXCLUSIVE = 0x00000008;
constexpr ULONG DO_DIRECT_IO = 0x00000010;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
constexpr ULONG DO_POWER_PAGABLE = 0x00002000;
constexpr ULONG DO_POWER_INRUSH = 0x00004000;

enum SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7
};
enum DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
    PowerDeviceMaximum = 5
};
enum POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 };
union POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
};
enum POWER_ACTION { PowerActionNone = 0 };

// DEVICE_CAPABILITIES, 64 bytes. The one-bit members of the platform's
// structure are the bits of Flags.
struct DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG Flags;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
};
static_assert(sizeof(DEVICE_CAPABILITIES) == 64);
using PDEVICE_CAPABILITIES = DEVICE_CAPABILITIES*;
constexpr ULONG DEVICE_CAP_LOCK_SUPPORTED = 0x0004;
constexpr ULONG DEVICE_CAP_EJECT_SUPPORTED = 0x0008;
constexpr ULONG DEVICE_CAP_REMOVABLE = 0x0010;
constexpr ULONG DEVICE_CAP_SURPRISE_REMOVAL_OK = 0x0200;

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
using PDRIVER_CANCEL = void (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
using PDRIVER_DISPATCH = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
using PDRIVER_ADD_DEVICE = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
using PDRIVER_UNLOAD = void (*)(PDRIVER_OBJECT DriverObject);
using PDRIVER_INITIALIZE = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        // Pointer-aligned, as on 64-bit systems, so that Others.Argument1 and
        // Argument2 never overlap the control code.
        struct {
            alignas(8) ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            POWER_ACTION ShutdownType;
        } Power;
        struct {
            SYSTEM_POWER_STATE PowerState;
        } WaitWake;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
using PIO_STACK_LOCATION = IO_STACK_LOCATION*;

// Called by the model's I/O manager when a request it issued has completed
// through every stack location (the originator's view of completion).
using IoOriginatorCompletion = void (*)(PIRP Irp, PVOID Context);

struct IRP {
    CSHORT Type;
    USHORT Size;
    ULONG Flags;
    union {
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    volatile BOOLEAN Cancel;
    KIRQL CancelIrql;
    PDRIVER_CANCEL volatile CancelRoutine;
    PVOID UserBuffer;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    struct {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;
    // Model: who issued the request and wants to hear of its completion.
    IoOriginatorCompletion OriginatorCompletion;
    PVOID OriginatorContext;
    // Model: the process of the caller that issued the request, whose
    // handles its buffer may name (IoGetRequestorProcess).
    PEPROCESS RequestorProcess;
    ULONG ModelState;  // lifecycle bits used by the verifier
    LONG ModelRefs;    // I/O manager requests: originator and caller references
};

// Stack locations follow the IRP in the same block; index 0 is the lowest.
inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
void IoCopyCurrentIrpStackLocationToNext(PIRP Irp);
void IoSkipCurrentIrpStackLocation(PIRP Irp);
void IoSetNextIrpStackLocation(PIRP Irp);
void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel);
inline void IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }
PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
inline PEPROCESS IoGetRequestorProcess(PIRP Irp) { return Irp->RequestorProcess; }

USHORT IoSizeOfIrp(CCHAR StackSize);
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
void IoReuseIrp(PIRP Irp, NTSTATUS Status);
void IoFreeIrp(PIRP Irp);

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }
void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
inline void IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) { IofCompleteRequest(Irp, PriorityBoost); }
BOOLEAN IoCancelIrp(PIRP Irp);
void IoAcquireCancelSpinLock(PKIRQL Irql);
void IoReleaseCancelSpinLock(KIRQL Irql);

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock);
BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);

// Power requests.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void PoStartNextPowerIrp(PIRP Irp);
using PREQUEST_POWER_COMPLETE = void (*)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                         POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);

// Device and driver objects.
struct DEVOBJ_EXTENSION;

struct DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    PIRP CurrentIrp;
    ULONG Flags;
    ULONG Characteristics;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
    DEVOBJ_EXTENSION* DeviceObjectExtension;
};

struct DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
};

struct DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;  // newest device first
    ULONG Flags;
    DRIVER_EXTENSION* DriverExtension;
    UNICODE_STRING DriverName;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    void* ModelExtensions;  // IoAllocateDriverObjectExtension blocks
};

namespace kio {
struct SpareBuffer;
}

struct FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID FsContext;
    PVOID FsContext2;
    UNICODE_STRING FileName;
    ULONG Flags;
    // Model: the system buffer of this file's last large device-control
    // request, kept for its next one (kio::sendDeviceControl).
    kio::SpareBuffer* ModelSpare;
    ~FILE_OBJECT();
};

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
void IoDetachDevice(PDEVICE_OBJECT TargetDevice);
PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension);
PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress);

// Device interfaces.
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);

// Model services around the I/O manager.
namespace kio {

// Creates a driver object and runs its entry. The object lives until unloadDriver.
NTSTATUS loadDriver(const char* name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);
void unloadDriver(PDRIVER_OBJECT driver);

// The device instance a bus reports for a physical device object: its instance
// path (stable for the same device: port or scenario name) and hardware id.
void setDeviceInstance(PDEVICE_OBJECT pdo, const std::string& instancePath, const std::string& hardwareId);
std::string deviceInstancePath(PDEVICE_OBJECT pdo);
std::string deviceName(PDEVICE_OBJECT device);
PDEVICE_OBJECT findDeviceByName(const std::string& name);

// Device interfaces as the host sees them.
struct InterfaceInfo {
    std::string symbolicLink;  // "\??\USB#VID_F1A5&PID_0B2D#...#{guid}"
    GUID classGuid;
    bool enabled;
    PDEVICE_OBJECT physicalDevice;
};
std::vector<InterfaceInfo> interfaces(const GUID* classGuid, bool enabledOnly);
// Called on every enable and disable; returns a token for unsubscribe.
int subscribeInterfaces(std::function<void(const InterfaceInfo&)> listener);
void unsubscribeInterfaces(int token);
std::string guidString(const GUID& g);  // "{1867C0EE-BE92-4214-A791-517103BEE9D5}"
bool parseGuid(const std::string& text, GUID* g);

// Opens a file object on the top of the device stack of `device`, sending
// IRP_MJ_CREATE; closing sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE.
NTSTATUS openFile(PDEVICE_OBJECT device, const std::string& fileName, PFILE_OBJECT* file);
void closeFile(PFILE_OBJECT file);

// A buffered device-control request as the I/O manager issues it for a caller:
// the input is copied into a system buffer, sent, and on completion `done` gets
// the status, the information and the system buffer (Information bytes valid).
using ControlDone = std::function<void(NTSTATUS status, ULONG_PTR information, const void* buffer)>;
// Returns the request with a reference for the caller (so that it may cancel
// it with IoCancelIrp at any time until it calls releaseIrp); null when the
// request could not be built (done has then been called with the status).
PIRP sendDeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                       ULONG outputLength, bool internal, ControlDone done);
// As sendDeviceControl, with a system buffer the caller provides: at least
// max(inputLength, outputLength) bytes that stay valid until `done` has run.
// The input is copied to its start; the rest is left as it is (it is the
// caller's to clear), and the buffer is neither kept nor freed.
PIRP sendDeviceControlInto(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                           ULONG outputLength, void* systemBuffer, ControlDone done);
// Synchronous form: waits without time-out and copies the answer into output.
NTSTATUS deviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, ULONG_PTR* information, bool internal = false);

void releaseIrp(PIRP irp);

// Requests issued and not yet freed (requests of the I/O manager and of drivers).
LONG liveIrps();
// True if the request has run through its completion and is back with its originator.
bool irpCompleted(PIRP irp);

}  // namespace kio
