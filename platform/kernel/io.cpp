#include "platform/kernel/io.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/kernel/clock.h"
#include "platform/kernel/faults.h"
#include "platform/kernel/rtl.h"
#include "platform/kernel/verifier.h"

// Model-only state of a device object.
struct DEVOBJ_EXTENSION {
    std::string name;
    std::string instancePath;
    std::string hardwareId;
    PDEVICE_OBJECT attachedTo;  // the device this one was attached on top of
    bool deleted;
};

namespace kio {
namespace {

constexpr ULONG kCompletedToTop = 0x1;
constexpr ULONG kBuiltByIoManager = 0x2;
// Allocated by IoAllocateIrp and not freed since; kept across re-initialisation.
constexpr ULONG kAllocatedLive = 0x4;
constexpr CSHORT kIrpType = 6;
constexpr CSHORT kFreedIrpType = 0x7E;

struct IrpRegistry {
    std::mutex lock;
    std::unordered_set<PIRP> live;
    // Recently freed requests stay allocated a while, so that a second
    // completion is caught as such and not as a use of reused memory.
    std::deque<PIRP> quarantine;
};

IrpRegistry& irps() {
    static IrpRegistry* r = new IrpRegistry();
    return *r;
}

bool isFreedIrp(PIRP irp) {
    IrpRegistry& r = irps();
    std::lock_guard<std::mutex> g(r.lock);
    if (r.live.count(irp)) return false;
    return std::find(r.quarantine.begin(), r.quarantine.end(), irp) != r.quarantine.end();
}

struct Names {
    std::mutex lock;
    std::map<std::string, PDEVICE_OBJECT> byName;  // upper-case names
};

Names& names() {
    static Names* n = new Names();
    return *n;
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct InterfaceRegistry {
    std::mutex lock;
    std::map<std::string, InterfaceInfo> byLink;  // lower-case links
    std::map<int, std::function<void(const InterfaceInfo&)>> listeners;
    int nextToken = 1;
};

InterfaceRegistry& ifaces() {
    static InterfaceRegistry* r = new InterfaceRegistry();
    return *r;
}

std::mutex& cancelLock() {
    static std::mutex* m = new std::mutex();
    return *m;
}

NTSTATUS invalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

struct DriverExtensions {
    struct Block {
        PVOID clientId;
        PVOID data;
    };
    std::vector<Block> blocks;
};

LONG refIrp(PIRP irp, LONG delta) {
    return std::atomic_ref<LONG>(irp->ModelRefs).fetch_add(delta) + delta;
}

}  // namespace
}  // namespace kio

// ---------------------------------------------------------------------------
// Requests

USHORT IoSizeOfIrp(CCHAR StackSize) {
    return static_cast<USHORT>(sizeof(IRP) + static_cast<size_t>(StackSize) * sizeof(IO_STACK_LOCATION));
}

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    const bool live = Irp->Type == kio::kIrpType && (Irp->ModelState & kio::kAllocatedLive);
    std::memset(Irp, 0, PacketSize);
    if (live) Irp->ModelState = kio::kAllocatedLive;
    Irp->Type = kio::kIrpType;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    if (StackSize < 1) StackSize = 1;
    USHORT size = IoSizeOfIrp(StackSize);
    auto* irp = static_cast<PIRP>(std::aligned_alloc(16, (size + 15u) / 16u * 16u));
    if (!irp) return nullptr;
    IoInitializeIrp(irp, size, StackSize);
    irp->ModelState |= kio::kAllocatedLive;
    kio::IrpRegistry& r = kio::irps();
    std::lock_guard<std::mutex> g(r.lock);
    r.live.insert(irp);
    return irp;
}

void IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    USHORT size = Irp->Size;
    CCHAR stack = Irp->StackCount;
    BOOLEAN cancel = FALSE;
    IoInitializeIrp(Irp, size, stack);
    Irp->Cancel = cancel;
    Irp->IoStatus.Status = Status;
}

void IoFreeIrp(PIRP Irp) {
    kio::IrpRegistry& r = kio::irps();
    PIRP evicted = nullptr;
    {
        std::lock_guard<std::mutex> g(r.lock);
        if (r.live.erase(Irp) == 0) {
            kverifier::report("irp-double-free", "IoFreeIrp of a request that is not allocated");
            return;
        }
        if (Irp->CurrentLocation <= Irp->StackCount && !(Irp->ModelState & kio::kCompletedToTop) &&
            Irp->Tail.Overlay.CurrentStackLocation->DeviceObject != nullptr) {
            kverifier::report("irp-free-pending", "IoFreeIrp of a request still held by a driver");
        }
        Irp->Type = kio::kFreedIrpType;
        Irp->ModelState &= ~kio::kAllocatedLive;
        r.quarantine.push_back(Irp);
        if (r.quarantine.size() > 256) {
            evicted = r.quarantine.front();
            r.quarantine.pop_front();
        }
    }
    std::free(evicted);
}

void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    std::memcpy(next, cur, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
}

void IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

void IoSetNextIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}

void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
    return std::atomic_ref<PDRIVER_CANCEL>(const_cast<PDRIVER_CANCEL&>(Irp->CancelRoutine))
        .exchange(CancelRoutine);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (DeviceObject == nullptr || DeviceObject->DeviceObjectExtension->deleted) {
        kverifier::report("irp-call-deleted", "request sent to a deleted or missing device");
        return STATUS_NO_SUCH_DEVICE;
    }
    if (Irp->CurrentLocation <= 1) {
        kverifier::report("irp-stack-overflow", "request has no stack location left for " +
                                                    kio::deviceName(DeviceObject));
        return STATUS_INVALID_PARAMETER;
    }
    Irp->ModelState &= ~kio::kCompletedToTop;
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH fn = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    return fn(DeviceObject, Irp);
}

void IofCompleteRequest(PIRP Irp, CCHAR) {
    // A request allocated here and not freed says so itself, so that a
    // completion (every few milliseconds on a video stream) need not look it
    // up under the registry's lock. Freeing clears the mark, and a
    // re-initialisation keeps it only on a request that still has it. Read
    // here by the request's owner only: a cancel on another thread looks in
    // the registry instead.
    const bool markedLive = Irp->Type == kio::kIrpType && (Irp->ModelState & kio::kAllocatedLive);
    if (!markedLive && (kio::isFreedIrp(Irp) || Irp->Type != kio::kIrpType)) {
        kverifier::report("irp-double-complete", "completion of a request that was already completed and freed");
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        kverifier::report("irp-double-complete", "completion of a request that no driver holds (completed twice)");
        return;
    }
    // Read as IoSetCancelRoutine writes it: a cancel on another thread may be taking it.
    if (std::atomic_ref<PDRIVER_CANCEL>(const_cast<PDRIVER_CANCEL&>(Irp->CancelRoutine)).load() != nullptr) {
        kverifier::report("irp-cancel-routine-set", "request completed with its cancel routine still set");
        IoSetCancelRoutine(Irp, nullptr);
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        kverifier::report("irp-complete-pending", "request completed with STATUS_PENDING");
    }
    KIRQL old = KeRaiseIrqlToDpcLevel();
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    for (;;) {
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        bool atTop = Irp->CurrentLocation > Irp->StackCount;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        bool invoke = false;
        if (routine) {
            NTSTATUS st = Irp->IoStatus.Status;
            if (NT_SUCCESS(st))
                invoke = sp->Control & SL_INVOKE_ON_SUCCESS;
            else
                invoke = sp->Control & SL_INVOKE_ON_ERROR;
            // A cancel on another thread may be setting the flag right now.
            if (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (sp->Control & SL_INVOKE_ON_CANCEL))
                invoke = true;
        }
        if (invoke) {
            PDEVICE_OBJECT dev = atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            PVOID ctx = sp->Context;
            NTSTATUS r = routine(dev, Irp, ctx);
            if (r == STATUS_MORE_PROCESSING_REQUIRED) {
                KeLowerIrql(old);
                return;
            }
        } else if (Irp->PendingReturned && !atTop) {
            IoMarkIrpPending(Irp);
        }
        if (atTop) break;
        sp = IoGetCurrentIrpStackLocation(Irp);
    }
    KeLowerIrql(old);
    Irp->ModelState |= kio::kCompletedToTop;
    if (Irp->OriginatorCompletion) {
        Irp->OriginatorCompletion(Irp, Irp->OriginatorContext);
        return;
    }
    if (Irp->ModelState & kio::kBuiltByIoManager) {
        // A request built by IoBuildDeviceIoControlRequest: report and free it.
        if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
        if (Irp->AssociatedIrp.SystemBuffer && Irp->UserBuffer) {
            std::memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer, Irp->IoStatus.Information);
        }
        PKEVENT ev = Irp->UserEvent;
        std::free(Irp->AssociatedIrp.SystemBuffer);
        IoFreeIrp(Irp);
        if (ev) KeSetEvent(ev, IO_NO_INCREMENT, FALSE);
    }
}

void IoAcquireCancelSpinLock(PKIRQL Irql) {
    kio::cancelLock().lock();
    *Irql = KeRaiseIrqlToDpcLevel();
}

void IoReleaseCancelSpinLock(KIRQL Irql) {
    KeLowerIrql(Irql);
    kio::cancelLock().unlock();
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    // A request that has been completed and freed is no one's to cancel: a
    // driver that still does has lost track of who owns it.
    if (kio::isFreedIrp(Irp)) {
        kverifier::report("irp-cancel-freed", "cancel of a request that was completed and freed");
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Read without the lock by a completion running on another thread.
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine) {
        Irp->CancelIrql = irql;
        PDEVICE_OBJECT dev = Irp->CurrentLocation <= Irp->StackCount
                                 ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                 : nullptr;
        routine(dev, Irp);  // releases the cancel spin lock
        return TRUE;
    }
    IoReleaseCancelSpinLock(irql);
    return FALSE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!irp) return nullptr;
    irp->ModelState |= kio::kBuiltByIoManager;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    ULONG method = IoControlCode & 3;
    if (method == 0 && (InputBufferLength || OutputBufferLength)) {
        ULONG len = std::max(InputBufferLength, OutputBufferLength);
        void* sys = std::calloc(1, len);
        if (!sys) {
            IoFreeIrp(irp);
            return nullptr;
        }
        if (InputBuffer && InputBufferLength) std::memcpy(sys, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = sys;
        irp->UserBuffer = OutputBuffer;
    } else {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    }
    return irp;
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    // The model answers as WDM 1.20.
    return MajorVersion < 1 || (MajorVersion == 1 && MinorVersion <= 0x20);
}

// ---------------------------------------------------------------------------
// Power

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IoCallDriver(DeviceObject, Irp); }

void PoStartNextPowerIrp(PIRP) {}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE State) { return State; }

namespace {
struct PowerRequest {
    PREQUEST_POWER_COMPLETE fn;
    PVOID context;
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE state;
};

void powerRequestDone(PIRP irp, PVOID context) {
    auto* pr = static_cast<PowerRequest*>(context);
    IO_STATUS_BLOCK iosb = irp->IoStatus;
    IoFreeIrp(irp);
    if (pr->fn) pr->fn(pr->device, pr->minor, pr->state, pr->context, &iosb);
    delete pr;
}
}  // namespace

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    irp->OriginatorCompletion = powerRequestDone;
    irp->OriginatorContext = new PowerRequest{CompletionFunction, Context, DeviceObject, MinorFunction, PowerState};
    if (Irp) *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

// ---------------------------------------------------------------------------
// Devices and drivers

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = nullptr;
    std::string name = DeviceName ? krtl::narrow(DeviceName) : std::string();
    {
        kio::Names& n = kio::names();
        std::lock_guard<std::mutex> g(n.lock);
        if (!name.empty() && n.byName.count(kio::upper(name))) return STATUS_OBJECT_NAME_COLLISION;
    }
    if (kfault::take(kfault::DeviceCreation)) return STATUS_INSUFFICIENT_RESOURCES;
    size_t extOffset = (sizeof(DEVICE_OBJECT) + 15) / 16 * 16;
    size_t total = extOffset + (DeviceExtensionSize + 15u) / 16u * 16u;
    auto* dev = static_cast<PDEVICE_OBJECT>(std::aligned_alloc(16, total));
    if (!dev) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(dev, 0, total);
    dev->Type = 3;
    dev->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    dev->DriverObject = DriverObject;
    dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    dev->Characteristics = DeviceCharacteristics;
    dev->DeviceType = DeviceType;
    dev->StackSize = 1;
    dev->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<char*>(dev) + extOffset : nullptr;
    dev->DeviceObjectExtension = new DEVOBJ_EXTENSION{name, {}, {}, nullptr, false};
    dev->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = dev;
    if (!name.empty()) {
        kio::Names& n = kio::names();
        std::lock_guard<std::mutex> g(n.lock);
        n.byName[kio::upper(name)] = dev;
    }
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    DEVOBJ_EXTENSION* x = DeviceObject->DeviceObjectExtension;
    if (x->deleted) {
        kverifier::report("device-double-delete", "IoDeleteDevice twice for " + x->name);
        return;
    }
    {
        kio::IrpRegistry& r = kio::irps();
        std::lock_guard<std::mutex> g(r.lock);
        for (PIRP irp : r.live) {
            if (irp->ModelState & kio::kCompletedToTop) continue;
            for (CHAR loc = irp->CurrentLocation; loc >= 1 && loc <= irp->StackCount; ++loc) {
                PIO_STACK_LOCATION sp = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (loc - 1);
                if (sp->DeviceObject == DeviceObject) {
                    char code[32];
                    std::snprintf(code, sizeof code, "major 0x%02X minor 0x%02X", sp->MajorFunction,
                                  sp->MinorFunction);
                    kverifier::report("irp-pending-at-delete", "device " + x->name +
                                                                   " deleted with a request pending (" + code + ")");
                    break;
                }
            }
        }
    }
    if (DeviceObject->AttachedDevice) {
        kverifier::report("device-delete-attached", "device " + x->name + " deleted while a device is attached on it");
    }
    x->deleted = true;
    PDRIVER_OBJECT drv = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* p = &drv->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == DeviceObject) {
            *p = DeviceObject->NextDevice;
            break;
        }
    }
    if (!x->name.empty()) {
        kio::Names& n = kio::names();
        std::lock_guard<std::mutex> g(n.lock);
        n.byName.erase(kio::upper(x->name));
    }
    delete x;
    std::free(DeviceObject);
}

namespace {
// The link to the device above is read by the bus's own thread (is the stack
// gone yet?) while a removal on another thread detaches it: it is read and
// written as an atomic.
PDEVICE_OBJECT attachedAbove(PDEVICE_OBJECT d) {
    return std::atomic_ref<PDEVICE_OBJECT>(d->AttachedDevice).load(std::memory_order_acquire);
}
void setAttachedAbove(PDEVICE_OBJECT d, PDEVICE_OBJECT above) {
    std::atomic_ref<PDEVICE_OBJECT>(d->AttachedDevice).store(above, std::memory_order_release);
}
}  // namespace

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    PDEVICE_OBJECT d = DeviceObject;
    while (PDEVICE_OBJECT above = attachedAbove(d)) d = above;
    return d;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    if (kfault::take(kfault::Attach)) return nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
    SourceDevice->DeviceObjectExtension->attachedTo = top;
    setAttachedAbove(top, SourceDevice);  // last: a reader that sees it sees the rest
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    PDEVICE_OBJECT upper = attachedAbove(TargetDevice);
    if (upper) upper->DeviceObjectExtension->attachedTo = nullptr;
    setAttachedAbove(TargetDevice, nullptr);
}

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension) {
    *DriverObjectExtension = nullptr;
    auto* exts = static_cast<kio::DriverExtensions*>(DriverObject->ModelExtensions);
    for (auto& b : exts->blocks)
        if (b.clientId == ClientIdentificationAddress) return STATUS_OBJECT_NAME_COLLISION;
    void* data = std::calloc(1, DriverObjectExtensionSize ? DriverObjectExtensionSize : 1);
    if (!data) return STATUS_INSUFFICIENT_RESOURCES;
    exts->blocks.push_back({ClientIdentificationAddress, data});
    *DriverObjectExtension = data;
    return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
    auto* exts = static_cast<kio::DriverExtensions*>(DriverObject->ModelExtensions);
    for (auto& b : exts->blocks)
        if (b.clientId == ClientIdentificationAddress) return b.data;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Device interfaces

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    if (kfault::take(kfault::InterfaceRegistration)) return STATUS_INSUFFICIENT_RESOURCES;
    std::string instance = kio::deviceInstancePath(PhysicalDeviceObject);
    if (instance.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    std::string link = "\\??\\" + instance;
    for (size_t i = 4; i < link.size(); ++i)
        if (link[i] == '\\') link[i] = '#';
    link += "#" + kio::lower(kio::guidString(*InterfaceClassGuid));
    if (ReferenceString && ReferenceString->Length) link += "\\" + krtl::narrow(ReferenceString);
    {
        kio::InterfaceRegistry& r = kio::ifaces();
        std::lock_guard<std::mutex> g(r.lock);
        auto& info = r.byLink[kio::lower(link)];
        info.symbolicLink = link;
        info.classGuid = *InterfaceClassGuid;
        info.physicalDevice = PhysicalDeviceObject;
    }
    return krtl::allocateUnicode(link, SymbolicLinkName);
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    std::string link = kio::lower(krtl::narrow(SymbolicLinkName));
    kio::InterfaceInfo copy;
    std::vector<std::function<void(const kio::InterfaceInfo&)>> listeners;
    {
        kio::InterfaceRegistry& r = kio::ifaces();
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.byLink.find(link);
        if (it == r.byLink.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (it->second.enabled == (Enable != 0)) return STATUS_SUCCESS;
        it->second.enabled = Enable != 0;
        copy = it->second;
        if (!Enable) r.byLink.erase(it);  // a disabled interface of a removed device is gone
        for (auto& [token, fn] : r.listeners) listeners.push_back(fn);
    }
    for (auto& fn : listeners) fn(copy);
    return STATUS_SUCCESS;
}

namespace kio {

// A large system buffer kept between one file's requests. Clearing 600 KiB
// for every frame a reader asks for costs more than the frame itself; a
// kept buffer holds nothing but bytes of this same file's own earlier
// requests (their input, and what the driver answered into them), so it
// goes out uncleared: no file ever sees what another file's requests held.
//
// Two are kept: the answer to a request goes out (and its reader may already
// have sent the next request) before its buffer is given back, so with one
// the next request of a reader that asks again at once would find none.
struct SpareBuffer {
    static constexpr ULONG kLeast = 64 * 1024;  // below this, clearing is cheap
    static constexpr int kKept = 2;
    std::mutex lock;
    void* bytes[kKept] = {};
    ULONG length[kKept] = {};
    std::atomic<int> refs{1};  // the file's, and one for each request running

    // A buffer of at least `want` bytes and not over twice that, or null.
    void* take(ULONG want, ULONG* taken) {
        if (want < kLeast) return nullptr;
        std::lock_guard<std::mutex> g(lock);
        for (int i = 0; i < kKept; ++i) {
            if (!bytes[i] || length[i] < want || length[i] / 2 > want) continue;
            void* b = bytes[i];
            *taken = length[i];
            bytes[i] = nullptr;
            length[i] = 0;
            return b;
        }
        return nullptr;
    }
    void put(void* b, ULONG n) {
        if (!b) return;
        if (n >= kLeast) {
            std::lock_guard<std::mutex> g(lock);
            // An empty place, else the first one's (it is freed below).
            const int at = bytes[0] == nullptr ? 0 : (bytes[1] == nullptr ? 1 : 0);
            std::swap(b, bytes[at]);
            length[at] = n;
        }
        std::free(b);
    }
    void release() {
        if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            for (void* b : bytes) std::free(b);
            delete this;
        }
    }
};


NTSTATUS loadDriver(const char* name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver) {
    auto* d = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
    if (!d) return STATUS_INSUFFICIENT_RESOURCES;
    d->Type = 4;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = static_cast<DRIVER_EXTENSION*>(std::calloc(1, sizeof(DRIVER_EXTENSION)));
    d->DriverExtension->DriverObject = d;
    d->ModelExtensions = new DriverExtensions();
    for (auto& fn : d->MajorFunction) fn = invalidDeviceRequest;
    std::string full = std::string("\\Driver\\") + name;
    krtl::allocateUnicode(full, &d->DriverName);
    UNICODE_STRING regPath{};
    krtl::allocateUnicode("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::string(name), &regPath);
    NTSTATUS st = entry ? entry(d, &regPath) : STATUS_SUCCESS;
    RtlFreeUnicodeString(&regPath);
    if (!NT_SUCCESS(st)) {
        unloadDriver(d);
        return st;
    }
    *driver = d;
    return STATUS_SUCCESS;
}

void unloadDriver(PDRIVER_OBJECT driver) {
    if (!driver) return;
    if (driver->DriverUnload) driver->DriverUnload(driver);
    if (driver->DeviceObject) kverifier::report("driver-unload-devices", "driver unloaded with devices left");
    auto* exts = static_cast<DriverExtensions*>(driver->ModelExtensions);
    for (auto& b : exts->blocks) std::free(b.data);
    delete exts;
    RtlFreeUnicodeString(&driver->DriverName);
    std::free(driver->DriverExtension);
    std::free(driver);
}

void setDeviceInstance(PDEVICE_OBJECT pdo, const std::string& instancePath, const std::string& hardwareId) {
    pdo->DeviceObjectExtension->instancePath = instancePath;
    pdo->DeviceObjectExtension->hardwareId = hardwareId;
}

std::string deviceInstancePath(PDEVICE_OBJECT pdo) {
    return pdo ? pdo->DeviceObjectExtension->instancePath : std::string();
}

std::string deviceName(PDEVICE_OBJECT device) { return device ? device->DeviceObjectExtension->name : std::string(); }

PDEVICE_OBJECT findDeviceByName(const std::string& name) {
    Names& n = names();
    std::lock_guard<std::mutex> g(n.lock);
    auto it = n.byName.find(upper(name));
    return it == n.byName.end() ? nullptr : it->second;
}

std::vector<InterfaceInfo> interfaces(const GUID* classGuid, bool enabledOnly) {
    std::vector<InterfaceInfo> out;
    InterfaceRegistry& r = ifaces();
    std::lock_guard<std::mutex> g(r.lock);
    for (auto& [link, info] : r.byLink) {
        if (classGuid && !(info.classGuid == *classGuid)) continue;
        if (enabledOnly && !info.enabled) continue;
        out.push_back(info);
    }
    return out;
}

int subscribeInterfaces(std::function<void(const InterfaceInfo&)> listener) {
    InterfaceRegistry& r = ifaces();
    std::lock_guard<std::mutex> g(r.lock);
    int token = r.nextToken++;
    r.listeners[token] = std::move(listener);
    return token;
}

void unsubscribeInterfaces(int token) {
    InterfaceRegistry& r = ifaces();
    std::lock_guard<std::mutex> g(r.lock);
    r.listeners.erase(token);
}

std::string guidString(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool parseGuid(const std::string& text, GUID* g) {
    unsigned d1, d2, d3, b[8];
    char close = 0;
    if (text.size() != 38) return false;
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                    &b[3], &b[4], &b[5], &b[6], &b[7], &close) != 12 ||
        close != '}')
        return false;
    g->Data1 = d1;
    g->Data2 = static_cast<USHORT>(d2);
    g->Data3 = static_cast<USHORT>(d3);
    for (int i = 0; i < 8; ++i) g->Data4[i] = static_cast<UCHAR>(b[i]);
    return true;
}

// ---------------------------------------------------------------------------
// The I/O manager's requests on behalf of callers

namespace {

struct SyncWait {
    KEVENT event;
};

struct ControlRequest {
    ControlDone done;
    SpareBuffer* spare = nullptr;  // the file's, referenced while the request runs
    ULONG length = 0;              // of the system buffer
    bool callers = false;          // the system buffer is the caller's
};

void controlDone(PIRP irp, PVOID context) {
    auto* cr = static_cast<ControlRequest*>(context);
    ULONG_PTR info = irp->IoStatus.Information;
    PIO_STACK_LOCATION top = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (irp->StackCount - 1);
    ULONG outLen = top->Parameters.DeviceIoControl.OutputBufferLength;
    if (info > outLen) info = outLen;  // never hand back more than the caller's buffer
    if (cr->done) cr->done(irp->IoStatus.Status, info, irp->AssociatedIrp.SystemBuffer);
    if (cr->callers) {
        irp->AssociatedIrp.SystemBuffer = nullptr;
    } else if (cr->spare) {
        // The answer has been taken; the driver finished with the buffer when
        // it completed the request. The file's next large request gets it.
        cr->spare->put(irp->AssociatedIrp.SystemBuffer, cr->length);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        cr->spare->release();
    }
    delete cr;
    releaseIrp(irp);
}

NTSTATUS sendSync(PDEVICE_OBJECT top, PIRP irp) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    irp->UserEvent = &ev;
    irp->OriginatorCompletion = [](PIRP i, PVOID) { KeSetEvent(i->UserEvent, IO_NO_INCREMENT, FALSE); };
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

}  // namespace

void releaseIrp(PIRP irp) {
    if (refIrp(irp, -1) == 0) {
        std::free(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        IoFreeIrp(irp);
    }
}

NTSTATUS openFile(PDEVICE_OBJECT device, const std::string& fileName, PFILE_OBJECT* file) {
    *file = nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    auto* fo = kobj::create<FILE_OBJECT>(*IoFileObjectType);
    if (!fo) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(static_cast<void*>(fo), 0, sizeof(FILE_OBJECT));
    fo->ModelSpare = new (std::nothrow) SpareBuffer();
    fo->Type = 5;
    fo->Size = sizeof(FILE_OBJECT);
    fo->DeviceObject = device;
    krtl::allocateUnicode(fileName, &fo->FileName);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        RtlFreeUnicodeString(&fo->FileName);
        ObfDereferenceObject(fo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_CREATE;
    next->FileObject = fo;
    irp->Tail.Overlay.OriginalFileObject = fo;
    NTSTATUS st = sendSync(top, irp);
    IoFreeIrp(irp);
    if (!NT_SUCCESS(st)) {
        RtlFreeUnicodeString(&fo->FileName);
        ObfDereferenceObject(fo);
        return st;
    }
    *file = fo;
    return STATUS_SUCCESS;
}

void closeFile(PFILE_OBJECT file) {
    if (!file) return;
    for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        if (!irp) continue;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->FileObject = file;
        irp->Tail.Overlay.OriginalFileObject = file;
        sendSync(top, irp);
        IoFreeIrp(irp);
    }
    RtlFreeUnicodeString(&file->FileName);
    ObfDereferenceObject(file);
}

namespace {

PIRP issueDeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                        ULONG outputLength, bool internal, void* callers, ControlDone done) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    ULONG len = std::max(inputLength, outputLength);
    // The caller's buffer, else the one this file used before, else a new
    // one: only a new one is cleared past the input.
    SpareBuffer* spare = callers ? nullptr : file->ModelSpare;
    void* sys = callers;
    if (spare) {
        ULONG kept = 0;
        sys = spare->take(len, &kept);
        if (sys) len = kept;
    }
    const bool fresh = sys == nullptr && len > 0;
    if (fresh) sys = std::malloc(len);
    if (!irp || (len && !sys)) {
        if (irp) IoFreeIrp(irp);
        if (!callers) std::free(sys);
        if (done) done(STATUS_INSUFFICIENT_RESOURCES, 0, nullptr);
        return nullptr;
    }
    const ULONG copied = input ? inputLength : 0;
    if (copied) std::memcpy(sys, input, copied);
    if (fresh && len > copied) std::memset(static_cast<char*>(sys) + copied, 0, len - copied);
    irp->AssociatedIrp.SystemBuffer = sys;
    irp->RequestorMode = UserMode;
    irp->RequestorProcess = PsGetCurrentProcess();
    irp->ModelRefs = 2;  // the completion's and the caller's
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->FileObject = file;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    irp->OriginatorCompletion = controlDone;
    auto* request = new ControlRequest{std::move(done)};
    request->callers = callers != nullptr;
    if (spare) {
        spare->refs.fetch_add(1, std::memory_order_relaxed);
        request->spare = spare;
        request->length = len;
    }
    irp->OriginatorContext = request;
    IoCallDriver(top, irp);
    return irp;
}

}  // namespace

PIRP sendDeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                       ULONG outputLength, bool internal, ControlDone done) {
    return issueDeviceControl(file, code, input, inputLength, outputLength, internal, nullptr,
                              std::move(done));
}

PIRP sendDeviceControlInto(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                           ULONG outputLength, void* systemBuffer, ControlDone done) {
    return issueDeviceControl(file, code, input, inputLength, outputLength, false, systemBuffer,
                              std::move(done));
}

NTSTATUS deviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength, void* output,
                       ULONG outputLength, ULONG_PTR* information, bool internal) {
    KEVENT ev;
    KeInitializeEvent(&ev, NotificationEvent, FALSE);
    NTSTATUS result = STATUS_PENDING;
    ULONG_PTR info = 0;
    PIRP irp = sendDeviceControl(file, code, input, inputLength, outputLength, internal,
                                 [&](NTSTATUS st, ULONG_PTR inf, const void* buf) {
                                     result = st;
                                     info = inf;
                                     if (output && buf && inf) std::memcpy(output, buf, inf);
                                     KeSetEvent(&ev, IO_NO_INCREMENT, FALSE);
                                 });
    if (!irp) {
        if (information) *information = 0;
        return result;
    }
    KeWaitForSingleObject(&ev, Executive, KernelMode, FALSE, nullptr);
    releaseIrp(irp);
    if (information) *information = info;
    return result;
}

LONG liveIrps() {
    IrpRegistry& r = irps();
    std::lock_guard<std::mutex> g(r.lock);
    return static_cast<LONG>(r.live.size());
}

bool irpCompleted(PIRP irp) { return (irp->ModelState & kCompletedToTop) != 0; }

}  // namespace kio

FILE_OBJECT::~FILE_OBJECT() {
    if (ModelSpare) ModelSpare->release();
}
