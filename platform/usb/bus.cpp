// The bus driver: one driver object, a root device, and per plugged device a
// port device object and a physical device object that turn the function
// driver's URBs into backend transfers.
//
// Lifetime rules that everything below keeps:
// - A request that reaches a backend is completed once, from the transfer's
//   completion (or at once when the backend refuses it); a cancel routine only
//   asks the backend to end the transfer.
// - The device lock is never held while calling a backend, completing a
//   request or calling the listener.
// - A physical device object is deleted on the bus thread, after the device
//   left, IRP_MN_REMOVE_DEVICE completed, every transfer finished and the
//   function driver detached.
#include "platform/usb/bus.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <thread>

#include "platform/usb/descriptors.h"

namespace usbbus {

void DeviceBackend::capabilities(DEVICE_CAPABILITIES* caps) {
    caps->Flags |= DEVICE_CAP_REMOVABLE | DEVICE_CAP_SURPRISE_REMOVAL_OK;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
}

namespace {

constexpr ULONG kBusPoolTag = PoolTag("UBus");
constexpr ULONG kPdoMagic = 0x4F445055;   // "UPDO"
constexpr ULONG kPortMagic = 0x54525055;  // "UPRT"
constexpr ULONG kRootMagic = 0x54525552;  // "RURT"
// How long enumeration waits for one descriptor read before cancelling it.
constexpr LONGLONG kEnumerationTimeout100ns = 5LL * 10000000;

template <typename T, typename... Args>
T* poolNew(Args&&... args) {
    void* mem = ExAllocatePoolWithTag(NonPagedPool, sizeof(T), kBusPoolTag);
    if (!mem) return nullptr;
    return new (mem) T(std::forward<Args>(args)...);
}

template <typename T>
void poolDelete(T* p) {
    if (!p) return;
    p->~T();
    ExFreePool(p);
}

std::atomic<std::uintptr_t> nextHandle{0x10};
// Handles are never reused, so a stale one can never name a new pipe.
PVOID newHandle() {
    return reinterpret_cast<PVOID>(nextHandle.fetch_add(0x10));
}

std::atomic<unsigned> nextDeviceNumber{1};

struct Device;

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    UCHAR interfaceNumber = 0;
    EndpointInfo endpoint;
    ULONG maximumTransferSize = 0;
    int inflight = 0;      // transfers linked to this pipe
    bool retired = false;  // its setting was replaced; freed once idle
};

// What a submission needs of its pipe, copied under the device's lock: a
// selection on another thread may free the pipe itself at any time after.
struct PipeView {
    Pipe* pipe = nullptr;
    USBD_PIPE_HANDLE handle = nullptr;
    EndpointInfo endpoint;
    ULONG maximumTransferSize = 0;
    unsigned long long generation = 0;  // the device's pipesGeneration then
};

enum class UrbState { Submitting, Submitted, Completed };

struct PendingUrb {
    Device* dev = nullptr;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Pipe* pipe = nullptr;  // null on the default pipe
    Transfer transfer;
    UrbState state = UrbState::Submitting;
    bool cancelRequested = false;
    bool cancelIssued = false;
    bool finished = false;  // the request is completed and unlinked
    std::atomic<int> refs{1};
    // Links in the device's list of requests in flight.
    PendingUrb* prev = nullptr;
    PendingUrb* next = nullptr;
};

// The requests in flight on a device, linked through the requests
// themselves: a submission and its completion allocate nothing for it.
class UrbList {
  public:
    void insert(PendingUrb* p) {
        p->prev = nullptr;
        p->next = head_;
        if (head_) head_->prev = p;
        head_ = p;
    }
    void erase(PendingUrb* p) {
        if (p->prev) {
            p->prev->next = p->next;
        } else if (head_ == p) {
            head_ = p->next;
        } else {
            return;  // not linked
        }
        if (p->next) p->next->prev = p->prev;
        p->prev = p->next = nullptr;
    }
    bool empty() const { return head_ == nullptr; }
    template <typename Fn>
    void forEach(Fn fn) const {
        for (PendingUrb* p = head_; p; p = p->next) fn(p);
    }

  private:
    PendingUrb* head_ = nullptr;
};

void release(PendingUrb* p);

struct ObjectExtension {
    ULONG magic;
    Device* device;
    Bus::Impl* bus;
};

ObjectExtension* extensionOf(PDEVICE_OBJECT d) {
    if (!d || !d->DeviceExtension) return nullptr;
    return static_cast<ObjectExtension*>(d->DeviceExtension);
}

struct Device final : DeviceBackend::Sink {
    Bus::Impl* bus = nullptr;
    std::shared_ptr<DeviceBackend> backend;
    std::string instancePath;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT port = nullptr;
    USB_DEVICE_DESCRIPTOR deviceDescriptor{};
    ConfigurationInfo config;
    std::vector<std::string> problems;

    std::mutex lock;
    std::condition_variable changed;
    // Threads waiting on `changed`: a completion, with none waiting, has no
    // one to wake.
    int changeWaiters = 0;
    bool published = false;  // its physical device object is on the bus
    bool gone = false;       // left: URBs fail with USBD_STATUS_DEVICE_GONE
    bool departing = false;  // the departure has been started
    bool stackRemoved = false;
    bool cycling = false;
    bool replug = false;      // comes back once its physical device object is gone
    UCHAR configuration = 0;  // selected configuration value; 0 unconfigured
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
    std::map<UCHAR, UCHAR> alternates;
    std::map<USBD_PIPE_HANDLE, Pipe*> pipes;  // pipes of the current settings
    // Counts every change to `pipes`: a submission that looked its pipe up
    // when it had the same value knows the pipe is still there.
    unsigned long long pipesGeneration = 0;
    std::set<Pipe*> retiredPipes;
    UrbList urbs;
    PIRP waitWake = nullptr;
    std::atomic<int> activeCancels{0};
    // Requests inside the dispatch routines of its objects: the objects are
    // not deleted under a routine that has yet to return.
    std::atomic<int> dispatching{0};

    void deviceGone() override;

    // Waits on `changed` until `done` holds; the lock is held.
    template <typename Done>
    void waitChanged(std::unique_lock<std::mutex>& g, Done done) {
        ++changeWaiters;
        changed.wait(g, done);
        --changeWaiters;
    }
    void notifyChanged() {  // the lock is held
        if (changeWaiters > 0) changed.notify_all();
    }

    // Requests whose last reference went, kept for the next submissions: a
    // stream that resubmits from its completion then takes no pool block
    // per transfer. Only released where the device cannot be deleted under
    // the release (its dispatch, its cancels, its own lock, its bus thread).
    static constexpr int kSpareUrbs = 4;
    std::atomic<PendingUrb*> spareUrbs[kSpareUrbs] = {};

    ~Device() {
        for (auto& [h, p] : pipes) delete p;
        for (Pipe* p : retiredPipes) delete p;
        for (auto& spare : spareUrbs)
            if (PendingUrb* p = spare.exchange(nullptr)) ExFreePool(p);
    }
};

// A request for `dev`, a spare one if there is one; null when out of pool.
PendingUrb* newPendingUrb(Device* dev) {
    for (auto& spare : dev->spareUrbs) {
        void* mem = spare.exchange(nullptr);
        if (!mem) continue;
        // A failure injected for the pool is met as an allocation would.
        if (kpool::injectedFailure(kBusPoolTag)) {
            ExFreePool(mem);
            return nullptr;
        }
        return new (mem) PendingUrb();
    }
    return poolNew<PendingUrb>();
}

void release(PendingUrb* p) {
    if (p->refs.fetch_sub(1) != 1) return;
    Device* dev = p->dev;
    p->~PendingUrb();
    if (dev) {
        for (auto& spare : dev->spareUrbs) {
            PendingUrb* none = nullptr;
            if (spare.compare_exchange_strong(none, p)) return;
        }
    }
    ExFreePool(p);
}

// ---------------------------------------------------------------------------
// Small helpers

void completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS completeUrb(PIRP irp, PURB urb, USBD_STATUS status) {
    if (urb) urb->UrbHeader.Status = status;
    NTSTATUS st = UsbdStatusToNtStatus(status);
    completeIrp(irp, st);
    return st;
}

// Waits until the cancel routine that IoCancelIrp is running (if any) has let
// go of the cancel spin lock, after the caller took the cancel routine back.
void clearCancelRoutine(PIRP irp) {
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoReleaseCancelSpinLock(irql);
    }
}

std::string hex(ULONG v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// The bus

struct Bus::Impl {
    std::string name;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT root = nullptr;

    std::mutex lock;
    std::condition_variable changed;
    BusListener* listener = nullptr;
    std::vector<Device*> devices;  // every device whose physical device object exists
    std::vector<Device*> removed;  // waiting for their stacks to let go
    std::deque<std::function<void()>> jobs;
    int transitions = 0;   // departures and port cycles not yet finished
    bool busy = false;     // the bus thread is running a job
    bool closing = false;  // the bus is going away: no device comes back
    bool stopping = false;
    std::thread thread;

    void post(std::function<void()> job) {
        std::lock_guard<std::mutex> g(lock);
        jobs.push_back(std::move(job));
        changed.notify_all();
    }
    void endTransition() {
        std::lock_guard<std::mutex> g(lock);
        --transitions;
        changed.notify_all();
    }
    void run();
    bool reapReady();
    void reap(Device* dev);
    void depart(Device* dev);
    void announceDeparture(Device* dev);
    void cycle(Device* dev);
    PDEVICE_OBJECT plug(std::shared_ptr<DeviceBackend> backend, const std::string& instancePath,
                        std::string* error);
};

namespace {

void Device::deviceGone() {
    bus->depart(this);
}

// ---------------------------------------------------------------------------
// Transfers

// With `backendDone`, the backend's reference goes too, under the device's
// lock: once the request is unlinked a removal may delete the device, and
// the last reference gives the request back to it.
void finishUrb(PendingUrb* p, USBD_STATUS status, bool backendDone = false) {
    PIRP irp = p->irp;
    PURB urb = p->urb;
    Transfer& t = p->transfer;
    clearCancelRoutine(irp);
    ULONG actual = t.actualLength < t.length ? t.actualLength : t.length;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            urb->UrbControlDescriptorRequest.TransferBufferLength = actual;
            break;
        case URB_FUNCTION_VENDOR_DEVICE:
            urb->UrbControlVendorClassRequest.TransferBufferLength = actual;
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = actual;
            break;
        case URB_FUNCTION_ISOCH_TRANSFER: {
            _URB_ISOCH_TRANSFER& r = urb->UrbIsochronousTransfer;
            ULONG errors = 0;
            for (ULONG i = 0; i < t.numberOfPackets; ++i) {
                USBD_ISO_PACKET_DESCRIPTOR& pk = r.IsoPacket[i];
                if (pk.Length > t.packetSize) pk.Length = t.packetSize;
                if (!USBD_SUCCESS(pk.Status) || USBD_PENDING(pk.Status)) {
                    if (USBD_PENDING(pk.Status)) pk.Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
                    ++errors;
                }
            }
            r.ErrorCount = errors;
            r.StartFrame = t.startFrame;
            r.TransferBufferLength = actual;
            if (USBD_SUCCESS(status) && t.numberOfPackets && errors == t.numberOfPackets) {
                status = USBD_STATUS_ISOCH_REQUEST_FAILED;
            }
            break;
        }
        default:
            break;
    }
    completeUrb(irp, urb, status);
    Device* dev = p->dev;
    std::lock_guard<std::mutex> g(dev->lock);
    dev->urbs.erase(p);
    if (Pipe* pipe = p->pipe) {
        if (--pipe->inflight == 0 && pipe->retired) {
            dev->retiredPipes.erase(pipe);
            delete pipe;
        }
        p->pipe = nullptr;
    }
    p->finished = true;
    dev->notifyChanged();
    if (backendDone) release(p);
}

void transferDone(Transfer* t, void* context) {
    auto* p = static_cast<PendingUrb*>(context);
    Device* dev = p->dev;
    USBD_STATUS status;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        if (p->state == UrbState::Completed) {
            kverifier::report("usb-transfer-double-complete",
                              "a backend completed a transfer twice");
            return;
        }
        p->state = UrbState::Completed;
        status = t->status;
        if (status == USBD_STATUS_PENDING) status = USBD_STATUS_INTERNAL_HC_ERROR;
        if (dev->gone) status = USBD_STATUS_DEVICE_GONE;
    }
    finishUrb(p, status, true);  // and the backend's reference
}

void transferCancel(PDEVICE_OBJECT, PIRP irp) {
    auto* p = static_cast<PendingUrb*>(irp->Tail.Overlay.DriverContext[0]);
    Device* dev = p->dev;
    bool issue = false;
    std::shared_ptr<DeviceBackend> backend;
    dev->activeCancels.fetch_add(1);
    p->refs.fetch_add(1);
    {
        std::lock_guard<std::mutex> g(dev->lock);
        p->cancelRequested = true;
        if (p->state == UrbState::Submitted && !p->cancelIssued) {
            p->cancelIssued = true;
            issue = true;
            backend = dev->backend;
        }
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (issue) backend->cancel(&p->transfer);
    release(p);
    dev->activeCancels.fetch_sub(1);
}

// Hands a prepared transfer to the backend; the request is pending from here on.
NTSTATUS startTransfer(Device* dev, PIRP irp, PURB urb, const PipeView* view,
                       const Transfer& request) {
    PendingUrb* p = newPendingUrb(dev);
    if (!p) return completeUrb(irp, urb, USBD_STATUS_INSUFFICIENT_RESOURCES);
    p->dev = dev;
    p->irp = irp;
    p->urb = urb;
    p->transfer = request;
    p->transfer.status = USBD_STATUS_PENDING;
    p->transfer.actualLength = 0;
    p->transfer.errorCount = 0;
    p->transfer.complete = transferDone;
    p->transfer.context = p;
    // Not a counted reference: the backend goes only with the device, which
    // is not deleted while one of its dispatch routines runs (this one).
    DeviceBackend* backend = nullptr;
    // A refusal completes the request only once the device's lock is let go:
    // the completion routine may submit again (a stream resubmits after one
    // failure), and that takes the lock.
    USBD_STATUS refused = USBD_STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        Pipe* pipe = view ? view->pipe : nullptr;
        if (dev->gone) {
            refused = USBD_STATUS_DEVICE_GONE;
        } else if (view && view->generation != dev->pipesGeneration) {
            // The pipes changed since the caller looked its pipe up: it may
            // have been replaced.
            auto it = dev->pipes.find(view->handle);
            if (it == dev->pipes.end() || it->second != pipe) refused = USBD_STATUS_INVALID_PIPE_HANDLE;
        }
        if (refused == USBD_STATUS_SUCCESS) {
            if (pipe) ++pipe->inflight;
            p->pipe = pipe;
            dev->urbs.insert(p);
            backend = dev->backend.get();
        }
    }
    if (refused != USBD_STATUS_SUCCESS) {
        poolDelete(p);
        return completeUrb(irp, urb, refused);
    }
    irp->Tail.Overlay.DriverContext[0] = p;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, transferCancel);
    bool cancelledEarly = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
    bool submit = false;
    USBD_STATUS early = USBD_STATUS_CANCELED;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        if (cancelledEarly || p->cancelRequested || dev->gone) {
            p->state = UrbState::Completed;
            if (dev->gone) early = USBD_STATUS_DEVICE_GONE;
        } else {
            submit = true;
            p->refs.fetch_add(1);  // the backend's, dropped in transferDone
        }
    }
    if (!submit) {
        finishUrb(p, early);
        release(p);
        return STATUS_PENDING;
    }
    USBD_STATUS st = backend->submit(&p->transfer);
    bool refuse = false;
    bool cancel = false;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        if (st != USBD_STATUS_PENDING) {
            // Refused at once: complete will not come.
            if (p->state != UrbState::Completed) {
                p->state = UrbState::Completed;
                refuse = true;
            }
        } else if (p->state == UrbState::Submitting) {
            p->state = UrbState::Submitted;
            if ((p->cancelRequested || dev->gone) && !p->cancelIssued) {
                p->cancelIssued = true;
                cancel = true;
            }
        }
    }
    if (refuse) {
        if (USBD_SUCCESS(st)) st = USBD_STATUS_REQUEST_FAILED;
        finishUrb(p, st);
        release(p);  // the backend's reference, never taken up
    }
    if (cancel) backend->cancel(&p->transfer);
    release(p);
    return STATUS_PENDING;
}

// Cancels every transfer on the pipes `which` selects and, with `wait`, waits
// until each has completed, so that their requests are back with their
// callers.
template <typename Which>
void drainPipes(Device* dev, Which which, bool wait = true) {
    std::vector<PendingUrb*> mine;
    std::vector<PendingUrb*> toCancel;
    std::shared_ptr<DeviceBackend> backend;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        backend = dev->backend;
        dev->urbs.forEach([&](PendingUrb* p) {
            if (!p->pipe || !which(p->pipe)) return;
            p->refs.fetch_add(1);
            mine.push_back(p);
            p->cancelRequested = true;
            if (p->state == UrbState::Submitted && !p->cancelIssued) {
                p->cancelIssued = true;
                toCancel.push_back(p);
            }
        });
    }
    for (PendingUrb* p : toCancel) backend->cancel(&p->transfer);
    if (wait) {
        std::unique_lock<std::mutex> g(dev->lock);
        dev->waitChanged(g, [&] {
            for (PendingUrb* p : mine)
                if (!p->finished) return false;
            return true;
        });
    }
    for (PendingUrb* p : mine) release(p);
}

// ---------------------------------------------------------------------------
// Configuration and settings (called without the device lock)

// A transfer that reached a pipe after the drain before its setting changed
// and before the pipe was retired is cancelled too, rather than held on a
// pipe nobody can name any more until the next change. Not waited for: it
// completes to its caller as any cancelled transfer does.
void cancelOnRetiredPipes(Device* dev) {
    drainPipes(
        dev, [](Pipe* p) { return p->retired; }, false);
}

void retirePipes(Device* dev, bool all, UCHAR interfaceNumber) {
    for (auto it = dev->pipes.begin(); it != dev->pipes.end();) {
        Pipe* pipe = it->second;
        if (!all && pipe->interfaceNumber != interfaceNumber) {
            ++it;
            continue;
        }
        it = dev->pipes.erase(it);
        ++dev->pipesGeneration;
        if (pipe->inflight == 0) {
            delete pipe;
        } else {
            pipe->retired = true;
            dev->retiredPipes.insert(pipe);
        }
    }
}

// Opens the pipes of a setting (device lock held); fills the interface block
// when one is given.
void openSetting(Device* dev, const InterfaceSetting& s, PUSBD_INTERFACE_INFORMATION info) {
    retirePipes(dev, false, s.number);
    dev->alternates[s.number] = s.alternate;
    if (info) {
        info->Class = s.interfaceClass;
        info->SubClass = s.subClass;
        info->Protocol = s.protocol;
        info->InterfaceHandle = newHandle();
        info->NumberOfPipes = static_cast<ULONG>(s.endpoints.size());
    }
    for (size_t i = 0; i < s.endpoints.size(); ++i) {
        auto* pipe = new Pipe();
        pipe->handle = newHandle();
        pipe->interfaceNumber = s.number;
        pipe->endpoint = s.endpoints[i];
        if (info) {
            USBD_PIPE_INFORMATION& pi = info->Pipes[i];
            pi.MaximumPacketSize = s.endpoints[i].packetBytes();
            pi.EndpointAddress = s.endpoints[i].address;
            pi.Interval = s.endpoints[i].interval;
            pi.PipeType = static_cast<USBD_PIPE_TYPE>(s.endpoints[i].type());
            pi.PipeHandle = pipe->handle;
            pipe->maximumTransferSize = pi.MaximumTransferSize;
        }
        dev->pipes[pipe->handle] = pipe;
        ++dev->pipesGeneration;
    }
}

// Checks one interface block that starts `offset` bytes into a URB of
// `urbLength` bytes; returns the setting it names or null.
const InterfaceSetting* checkBlock(Device* dev, PURB urb, size_t offset, size_t urbLength,
                                   PUSBD_INTERFACE_INFORMATION* block) {
    constexpr size_t kFixed = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (offset > urbLength || urbLength - offset < kFixed) return nullptr;
    auto* info =
        reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(urb) + offset);
    if (info->Length < kFixed || info->Length > urbLength - offset) return nullptr;
    const InterfaceSetting* s = dev->config.find(info->InterfaceNumber, info->AlternateSetting);
    if (!s || info->Length < UsbdInterfaceInformationSize(static_cast<ULONG>(s->endpoints.size())))
        return nullptr;
    *block = info;
    return s;
}

USBD_STATUS selectSetting(Device* dev, const InterfaceSetting& s, PUSBD_INTERFACE_INFORMATION info,
                          bool alreadyThere) {
    drainPipes(dev, [&](Pipe* p) { return p->interfaceNumber == s.number; });
    if (!alreadyThere) {
        USBD_STATUS st = dev->backend->setInterface(s.number, s.alternate);
        // Refused (no bandwidth and the like): the previous setting and its
        // pipe handles stay as they were.
        if (!USBD_SUCCESS(st)) return st;
    }
    {
        std::lock_guard<std::mutex> g(dev->lock);
        if (dev->gone) return USBD_STATUS_DEVICE_GONE;
        openSetting(dev, s, info);
    }
    cancelOnRetiredPipes(dev);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS unconfigure(Device* dev) {
    drainPipes(dev, [](Pipe*) { return true; });
    USBD_STATUS st = dev->backend->setConfiguration(0);
    {
        std::lock_guard<std::mutex> g(dev->lock);
        retirePipes(dev, true, 0);
        dev->alternates.clear();
        dev->configuration = 0;
        dev->configurationHandle = nullptr;
    }
    cancelOnRetiredPipes(dev);
    return st;
}

USBD_STATUS selectConfiguration(Device* dev, PURB urb) {
    _URB_SELECT_CONFIGURATION& sc = urb->UrbSelectConfiguration;
    size_t length = urb->UrbHeader.Length;
    constexpr size_t kFirstBlock = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    if (length < kFirstBlock) return USBD_STATUS_INVALID_PARAMETER;
    if (!sc.ConfigurationDescriptor) return unconfigure(dev);
    UCHAR value = sc.ConfigurationDescriptor->bConfigurationValue;
    if (value == 0 || value != dev->config.configurationValue) return USBD_STATUS_INVALID_PARAMETER;
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceSetting*>> wanted;
    std::set<UCHAR> numbers;
    for (size_t offset = kFirstBlock; offset < length;) {
        PUSBD_INTERFACE_INFORMATION info = nullptr;
        const InterfaceSetting* s = checkBlock(dev, urb, offset, length, &info);
        if (!s || !numbers.insert(s->number).second) return USBD_STATUS_INVALID_PARAMETER;
        wanted.emplace_back(info, s);
        offset += info->Length;
    }
    if (wanted.empty()) return USBD_STATUS_INVALID_PARAMETER;

    bool fresh = false;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        fresh = dev->configuration != value;
    }
    if (fresh) {
        drainPipes(dev, [](Pipe*) { return true; });
        USBD_STATUS st = dev->backend->setConfiguration(value);
        if (!USBD_SUCCESS(st)) return st;
        {
            std::lock_guard<std::mutex> g(dev->lock);
            retirePipes(dev, true, 0);
            dev->alternates.clear();
            dev->configuration = value;
            dev->configurationHandle = newHandle();
            // Every interface starts at its setting 0.
            for (const InterfaceSetting& s : dev->config.settings)
                if (s.alternate == 0) openSetting(dev, s, nullptr);
        }
        cancelOnRetiredPipes(dev);
    }
    for (auto& [info, s] : wanted) {
        // Right after SET_CONFIGURATION the device is at setting 0 already.
        USBD_STATUS st = selectSetting(dev, *s, info, fresh && s->alternate == 0);
        if (!USBD_SUCCESS(st)) return st;
    }
    std::lock_guard<std::mutex> g(dev->lock);
    sc.ConfigurationHandle = dev->configurationHandle;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS selectInterface(Device* dev, PURB urb) {
    size_t length = urb->UrbHeader.Length;
    constexpr size_t kBlock = offsetof(_URB_SELECT_INTERFACE, Interface);
    PUSBD_INTERFACE_INFORMATION info = nullptr;
    const InterfaceSetting* s = checkBlock(dev, urb, kBlock, length, &info);
    if (!s) return USBD_STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        if (dev->configuration == 0 ||
            urb->UrbSelectInterface.ConfigurationHandle != dev->configurationHandle) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
    }
    return selectSetting(dev, *s, info, false);
}

bool findPipe(Device* dev, USBD_PIPE_HANDLE handle, PipeView* view) {
    std::lock_guard<std::mutex> g(dev->lock);
    auto it = dev->pipes.find(handle);
    if (it == dev->pipes.end()) return false;
    view->pipe = it->second;
    view->handle = handle;
    view->endpoint = it->second->endpoint;
    view->maximumTransferSize = it->second->maximumTransferSize;
    view->generation = dev->pipesGeneration;
    return true;
}

// ---------------------------------------------------------------------------
// URBs

NTSTATUS controlTransfer(Device* dev, PIRP irp, PURB urb, UCHAR requestType, UCHAR request,
                         USHORT value, USHORT index, PVOID buffer, ULONG length, bool shortOk) {
    if (length > 0xFFFF || (length && !buffer))
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    Transfer t;
    t.type = USB_ENDPOINT_TYPE_CONTROL;
    t.endpoint = (requestType & 0x80) ? 0x80 : 0x00;
    t.setup[0] = requestType;
    t.setup[1] = request;
    t.setup[2] = static_cast<UCHAR>(value & 0xFF);
    t.setup[3] = static_cast<UCHAR>(value >> 8);
    t.setup[4] = static_cast<UCHAR>(index & 0xFF);
    t.setup[5] = static_cast<UCHAR>(index >> 8);
    t.setup[6] = static_cast<UCHAR>(length & 0xFF);
    t.setup[7] = static_cast<UCHAR>(length >> 8);
    t.buffer = static_cast<UCHAR*>(buffer);
    t.length = length;
    t.shortOk = shortOk;
    return startTransfer(dev, irp, urb, nullptr, t);
}

NTSTATUS bulkTransfer(Device* dev, PIRP irp, PURB urb) {
    _URB_BULK_OR_INTERRUPT_TRANSFER& r = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length < sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) {
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    PipeView pipe;
    if (!findPipe(dev, r.PipeHandle, &pipe)) return completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    UCHAR type = pipe.endpoint.type();
    if ((type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT) ||
        (r.TransferBufferLength && !r.TransferBuffer) ||
        (pipe.maximumTransferSize && r.TransferBufferLength > pipe.maximumTransferSize)) {
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    Transfer t;
    t.type = type;
    t.endpoint = pipe.endpoint.address;
    t.buffer = static_cast<UCHAR*>(r.TransferBuffer);
    t.length = r.TransferBufferLength;
    t.shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    return startTransfer(dev, irp, urb, &pipe, t);
}

NTSTATUS isochTransfer(Device* dev, PIRP irp, PURB urb) {
    _URB_ISOCH_TRANSFER& r = urb->UrbIsochronousTransfer;
    if (urb->UrbHeader.Length < offsetof(_URB_ISOCH_TRANSFER, IsoPacket)) {
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    ULONG packets = r.NumberOfPackets;
    if (packets < 1 || packets > 255 || urb->UrbHeader.Length < GET_ISO_URB_SIZE(packets)) {
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    PipeView pipe;
    if (!findPipe(dev, r.PipeHandle, &pipe)) return completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    ULONG packetSize = pipe.endpoint.packetBytes();
    if (pipe.endpoint.type() != USB_ENDPOINT_TYPE_ISOCHRONOUS || !r.TransferBuffer ||
        (pipe.maximumTransferSize && r.TransferBufferLength > pipe.maximumTransferSize)) {
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    // Every packet must fit whole in the buffer: the backend writes up to a
    // packet's worth at each offset.
    for (ULONG i = 0; i < packets; ++i) {
        ULONGLONG end = static_cast<ULONGLONG>(r.IsoPacket[i].Offset) + packetSize;
        if (end > r.TransferBufferLength)
            return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        r.IsoPacket[i].Length = 0;
        r.IsoPacket[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
    }
    r.ErrorCount = 0;
    Transfer t;
    t.type = USB_ENDPOINT_TYPE_ISOCHRONOUS;
    t.endpoint = pipe.endpoint.address;
    t.buffer = static_cast<UCHAR*>(r.TransferBuffer);
    t.length = r.TransferBufferLength;
    t.packetSize = packetSize;
    t.numberOfPackets = packets;
    t.isoPackets = r.IsoPacket;
    t.startFrame = r.StartFrame;
    return startTransfer(dev, irp, urb, &pipe, t);
}

NTSTATUS submitUrb(Device* dev, PIRP irp, PURB urb) {
    if (!urb || urb->UrbHeader.Length < sizeof(_URB_HEADER)) {
        completeIrp(irp, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    bool gone;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        gone = dev->gone;
    }
    if (gone) return completeUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    USHORT length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return completeUrb(irp, urb, selectConfiguration(dev, urb));
        case URB_FUNCTION_SELECT_INTERFACE:
            return completeUrb(irp, urb, selectInterface(dev, urb));
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_RESET_PIPE: {
            if (length < sizeof(_URB_PIPE_REQUEST))
                return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            PipeView view;
            if (!findPipe(dev, urb->UrbPipeRequest.PipeHandle, &view))
                return completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
            if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) {
                Pipe* pipe = view.pipe;
                drainPipes(dev, [pipe](Pipe* p) { return p == pipe; });
                return completeUrb(irp, urb, USBD_STATUS_SUCCESS);
            }
            return completeUrb(irp, urb, dev->backend->clearHalt(view.endpoint.address));
        }
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            if (length < sizeof(_URB_GET_CURRENT_FRAME_NUMBER)) {
                return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            urb->UrbGetCurrentFrameNumber.FrameNumber = dev->backend->currentFrame();
            return completeUrb(irp, urb, USBD_STATUS_SUCCESS);
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            if (length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) {
                return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
            USHORT value = static_cast<USHORT>(r.DescriptorType << 8 | r.Index);
            return controlTransfer(dev, irp, urb, 0x80, 0x06, value, r.LanguageId, r.TransferBuffer,
                                   r.TransferBufferLength, true);
        }
        case URB_FUNCTION_VENDOR_DEVICE: {
            if (length < sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) {
                return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb->UrbControlVendorClassRequest;
            bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
            return controlTransfer(dev, irp, urb, in ? 0xC0 : 0x40, r.Request, r.Value, r.Index,
                                   r.TransferBuffer, r.TransferBufferLength,
                                   !in || (r.TransferFlags & USBD_SHORT_TRANSFER_OK));
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return bulkTransfer(dev, irp, urb);
        case URB_FUNCTION_ISOCH_TRANSFER:
            return isochTransfer(dev, irp, urb);
        default:
            return completeUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

// ---------------------------------------------------------------------------
// Dispatch

void waitWakeCancel(PDEVICE_OBJECT device, PIRP irp) {
    Device* dev = extensionOf(device)->device;
    dev->activeCancels.fetch_add(1);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    bool mine = false;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        if (dev->waitWake == irp) {
            dev->waitWake = nullptr;
            mine = true;
        }
    }
    if (mine) completeIrp(irp, STATUS_CANCELLED);
    dev->activeCancels.fetch_sub(1);
}

NTSTATUS pdoPower(Device* dev, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    switch (sp->MinorFunction) {
        case IRP_MN_SET_POWER:
        case IRP_MN_QUERY_POWER:
            completeIrp(irp, STATUS_SUCCESS);
            return STATUS_SUCCESS;
        case IRP_MN_WAIT_WAKE: {
            std::unique_lock<std::mutex> g(dev->lock);
            if (dev->gone || dev->waitWake) {
                NTSTATUS st = dev->gone ? STATUS_NO_SUCH_DEVICE : STATUS_INVALID_DEVICE_STATE;
                g.unlock();
                completeIrp(irp, st);
                return st;
            }
            dev->waitWake = irp;
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, waitWakeCancel);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                dev->waitWake = nullptr;
                g.unlock();
                completeIrp(irp, STATUS_CANCELLED);
            }
            return STATUS_PENDING;
        }
        default: {
            NTSTATUS st = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return st;
        }
    }
}

void fillCapabilities(Device* dev, PDEVICE_CAPABILITIES caps) {
    DEVICE_CAPABILITIES c = *caps;
    c.Flags |= DEVICE_CAP_REMOVABLE | DEVICE_CAP_SURPRISE_REMOVAL_OK;
    c.SystemWake = PowerSystemUnspecified;
    c.DeviceWake = PowerDeviceUnspecified;
    dev->backend->capabilities(&c);
    caps->Flags = c.Flags;
    caps->Address = c.Address;
    caps->UINumber = c.UINumber;
    caps->SystemWake = c.SystemWake;
    caps->DeviceWake = c.DeviceWake;
    caps->D1Latency = c.D1Latency;
    caps->D2Latency = c.D2Latency;
    caps->D3Latency = c.D3Latency;
    caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    for (int s = PowerSystemWorking; s < PowerSystemMaximum; ++s) {
        caps->DeviceState[s] = s == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    }
}

NTSTATUS pdoRemove(Device* dev, PIRP irp) {
    Bus::Impl* bus = dev->bus;
    {
        std::unique_lock<std::mutex> g(dev->lock);
        if (!dev->gone) {
            // The stack let go of a device that is still plugged in: the
            // physical device object stays until the device leaves.
            dev->stackRemoved = true;
            g.unlock();
            completeIrp(irp, STATUS_SUCCESS);
            return STATUS_SUCCESS;
        }
        // Departure cancelled every transfer; wait for them to come back.
        dev->waitChanged(g, [&] { return dev->urbs.empty() && dev->waitWake == nullptr; });
    }
    completeIrp(irp, STATUS_SUCCESS);
    // Nothing below may touch the device once the bus thread can see it.
    std::lock_guard<std::mutex> g(bus->lock);
    bool queued = false;
    for (Device* d : bus->removed) queued |= d == dev;
    if (!queued) {
        {
            std::lock_guard<std::mutex> dg(dev->lock);
            dev->stackRemoved = true;
        }
        bus->removed.push_back(dev);
        bus->changed.notify_all();
    }
    return STATUS_SUCCESS;
}

NTSTATUS pdoPnp(Device* dev, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            std::lock_guard<std::mutex> g(dev->lock);
            dev->stackRemoved = false;
        }
            [[fallthrough]];
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            completeIrp(irp, STATUS_SUCCESS, irp->IoStatus.Information);
            return STATUS_SUCCESS;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
            if (!caps) {
                completeIrp(irp, STATUS_INVALID_PARAMETER);
                return STATUS_INVALID_PARAMETER;
            }
            fillCapabilities(dev, caps);
            completeIrp(irp, STATUS_SUCCESS);
            return STATUS_SUCCESS;
        }
        case IRP_MN_REMOVE_DEVICE:
            return pdoRemove(dev, irp);
        default: {
            NTSTATUS st = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return st;
        }
    }
}

NTSTATUS pdoInternalControl(Device* dev, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            return submitUrb(dev, irp, static_cast<PURB>(sp->Parameters.Others.Argument1));
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* status = static_cast<ULONG*>(sp->Parameters.Others.Argument1);
            if (!status) {
                completeIrp(irp, STATUS_INVALID_PARAMETER);
                return STATUS_INVALID_PARAMETER;
            }
            std::lock_guard<std::mutex> g(dev->lock);
            *status = dev->gone ? 0 : USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
            completeIrp(irp, STATUS_SUCCESS);
            return STATUS_SUCCESS;
        }
        case IOCTL_INTERNAL_USB_RESET_PORT: {
            bool gone;
            {
                std::lock_guard<std::mutex> g(dev->lock);
                gone = dev->gone;
            }
            NTSTATUS st = gone ? STATUS_DEVICE_NOT_CONNECTED
                               : UsbdStatusToNtStatus(dev->backend->resetPort());
            completeIrp(irp, st);
            return st;
        }
        default:
            completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS portDispatch(Device* dev, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_CYCLE_PORT) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(dev->pdo, irp);
    }
    NTSTATUS st = STATUS_SUCCESS;
    bool start = false;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        if (dev->gone) {
            st = STATUS_DEVICE_NOT_CONNECTED;
        } else if (!dev->cycling) {
            dev->cycling = true;
            start = true;
        }
    }
    if (start) {
        Bus::Impl* bus = dev->bus;
        {
            std::lock_guard<std::mutex> g(bus->lock);
            ++bus->transitions;
        }
        // The cycle runs on the bus thread: the device leaves under the
        // driver that asked, which must be free to take its removal.
        bus->post([bus, dev] { bus->cycle(dev); });
    }
    completeIrp(irp, st);
    return st;
}

NTSTATUS deviceDispatch(Device* dev, bool port, PIRP irp) {
    if (port) return portDispatch(dev, irp);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return pdoInternalControl(dev, irp);
        case IRP_MJ_PNP:
            return pdoPnp(dev, irp);
        case IRP_MJ_POWER:
            return pdoPower(dev, irp);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            completeIrp(irp, STATUS_SUCCESS);
            return STATUS_SUCCESS;
        case IRP_MJ_SYSTEM_CONTROL: {
            NTSTATUS st = irp->IoStatus.Status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return st;
        }
        default:
            completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS busDispatch(PDEVICE_OBJECT device, PIRP irp) {
    ObjectExtension* x = extensionOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (x && (x->magic == kPortMagic || x->magic == kPdoMagic)) {
        Device* dev = x->device;
        dev->dispatching.fetch_add(1);
        NTSTATUS st = deviceDispatch(dev, x->magic == kPortMagic, irp);
        dev->dispatching.fetch_sub(1);  // the last touch: the bus thread may delete it now
        return st;
    }
    if (sp->MajorFunction == IRP_MJ_PNP || sp->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
        NTSTATUS st = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return st;
    }
    if (sp->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        NTSTATUS st = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return st;
    }
    completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS busDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major :
         {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL,
          IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL}) {
        driver->MajorFunction[major] = busDispatch;
    }
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT createDevice(PDRIVER_OBJECT driver, const std::string& name, DEVICE_TYPE type,
                            ULONG magic, Device* dev, Bus::Impl* bus) {
    UNICODE_STRING us{};
    if (!NT_SUCCESS(krtl::allocateUnicode(name, &us))) return nullptr;
    PDEVICE_OBJECT d = nullptr;
    NTSTATUS st = IoCreateDevice(driver, sizeof(ObjectExtension), &us, type, 0, FALSE, &d);
    RtlFreeUnicodeString(&us);
    if (!NT_SUCCESS(st)) return nullptr;
    auto* x = static_cast<ObjectExtension*>(d->DeviceExtension);
    x->magic = magic;
    x->device = dev;
    x->bus = bus;
    d->Flags |= DO_POWER_PAGABLE;
    d->Flags &= ~DO_DEVICE_INITIALIZING;
    return d;
}

// A control read at enumeration, waited for on the model clock.
USBD_STATUS readControl(DeviceBackend& backend, UCHAR descriptorType, UCHAR* buffer, ULONG length,
                        ULONG* got) {
    struct Wait {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    } w;
    Transfer t;
    t.type = USB_ENDPOINT_TYPE_CONTROL;
    t.endpoint = 0x80;
    UCHAR setup[8] = {0x80,
                      0x06,
                      0,
                      descriptorType,
                      0,
                      0,
                      static_cast<UCHAR>(length & 0xFF),
                      static_cast<UCHAR>(length >> 8)};
    std::memcpy(t.setup, setup, sizeof setup);
    t.buffer = buffer;
    t.length = length;
    t.shortOk = true;
    t.complete = [](Transfer*, void* c) {
        auto* w = static_cast<Wait*>(c);
        std::lock_guard<std::mutex> g(w->m);
        w->done = true;
        w->cv.notify_all();
    };
    t.context = &w;
    USBD_STATUS st = backend.submit(&t);
    if (st != USBD_STATUS_PENDING) return USBD_SUCCESS(st) ? USBD_STATUS_REQUEST_FAILED : st;
    std::unique_lock<std::mutex> g(w.m);
    LONGLONG deadline = kclock::now() + kEnumerationTimeout100ns;
    while (!w.done && kclock::now() < deadline) w.cv.wait_until(g, kclock::realAt(deadline));
    if (!w.done) {
        g.unlock();
        backend.cancel(&t);
        g.lock();
        w.cv.wait(g, [&] { return w.done; });
        *got = 0;
        return USBD_STATUS_TIMEOUT;
    }
    *got = t.actualLength < length ? t.actualLength : length;
    return t.status;
}

bool enumerate(Device* dev, std::string* error) {
    DeviceBackend& b = *dev->backend;
    UCHAR dd[sizeof(USB_DEVICE_DESCRIPTOR)] = {};
    ULONG got = 0;
    USBD_STATUS st = readControl(b, USB_DEVICE_DESCRIPTOR_TYPE, dd, sizeof dd, &got);
    if (!USBD_SUCCESS(st)) {
        *error =
            "reading the device descriptor failed with USBD status " + hex(static_cast<ULONG>(st));
        return false;
    }
    std::vector<std::string> problems;
    if (!checkDeviceDescriptor(dd, got, &dev->deviceDescriptor, &problems)) {
        *error = problems.empty() ? "unusable device descriptor" : problems.back();
        return false;
    }
    UCHAR head[sizeof(USB_CONFIGURATION_DESCRIPTOR)] = {};
    st = readControl(b, USB_CONFIGURATION_DESCRIPTOR_TYPE, head, sizeof head, &got);
    if (!USBD_SUCCESS(st)) {
        *error = "reading the configuration descriptor failed with USBD status " +
                 hex(static_cast<ULONG>(st));
        return false;
    }
    std::vector<UCHAR> whole(head, head + got);
    if (got >= 4) {
        ULONG total = static_cast<ULONG>(head[2] | head[3] << 8);
        if (total > got) {
            whole.assign(total, 0);
            st = readControl(b, USB_CONFIGURATION_DESCRIPTOR_TYPE, whole.data(), total, &got);
            if (!USBD_SUCCESS(st)) {
                *error = "reading the whole configuration descriptor failed with USBD status " +
                         hex(static_cast<ULONG>(st));
                return false;
            }
            whole.resize(got);
        }
    }
    if (!checkConfigurationDescriptor(whole.data(), whole.size(), &dev->config, &problems)) {
        *error = problems.empty() ? "unusable configuration descriptor" : problems.back();
        return false;
    }
    dev->problems = std::move(problems);
    return true;
}

// Sends one Plug and Play request to the top of a stack and waits for it.
NTSTATUS sendPnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->UserEvent = &done;
    irp->OriginatorCompletion = [](PIRP i, PVOID) {
        KeSetEvent(i->UserEvent, IO_NO_INCREMENT, FALSE);
    };
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS st = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return st;
}

}  // namespace

// ---------------------------------------------------------------------------
// Bus::Impl

void Bus::Impl::depart(Device* dev) {
    {
        std::lock_guard<std::mutex> g(dev->lock);
        dev->gone = true;
        if (!dev->published || dev->departing) return;
        dev->departing = true;
    }
    {
        std::lock_guard<std::mutex> g(lock);
        ++transitions;
    }
    // Backends may report the departure from inside their own callbacks; the
    // cancels and the listener run on the bus thread.
    post([this, dev] { announceDeparture(dev); });
}

void Bus::Impl::announceDeparture(Device* dev) {
    std::vector<PendingUrb*> toCancel;
    PIRP waitWake = nullptr;
    std::shared_ptr<DeviceBackend> backend;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        backend = dev->backend;
        dev->urbs.forEach([&](PendingUrb* p) {
            p->cancelRequested = true;
            if (p->state == UrbState::Submitted && !p->cancelIssued) {
                p->cancelIssued = true;
                p->refs.fetch_add(1);
                toCancel.push_back(p);
            }
        });
        std::swap(waitWake, dev->waitWake);
    }
    for (PendingUrb* p : toCancel) {
        backend->cancel(&p->transfer);
        release(p);
    }
    if (waitWake) {
        clearCancelRoutine(waitWake);
        completeIrp(waitWake, STATUS_NO_SUCH_DEVICE);
        std::lock_guard<std::mutex> g(dev->lock);
        dev->changed.notify_all();
    }
    BusListener* l;
    {
        std::lock_guard<std::mutex> g(lock);
        l = listener;
    }
    if (l) {
        l->deviceRemoved(dev->pdo);
    } else {
        // No Plug and Play manager is listening: take the stack down as it would.
        sendPnp(dev->pdo, IRP_MN_SURPRISE_REMOVAL);
        sendPnp(dev->pdo, IRP_MN_REMOVE_DEVICE);
    }
}

void Bus::Impl::cycle(Device* dev) {
    USBD_STATUS st = dev->backend->cyclePort();
    if (!USBD_SUCCESS(st)) {
        {
            std::lock_guard<std::mutex> g(dev->lock);
            dev->cycling = false;
        }
        endTransition();
        return;
    }
    {
        std::lock_guard<std::mutex> g(dev->lock);
        dev->replug = true;
    }
    depart(dev);
    endTransition();
}

bool Bus::Impl::reapReady() {
    std::vector<Device*> ready;
    {
        std::lock_guard<std::mutex> g(lock);
        for (auto it = removed.begin(); it != removed.end();) {
            Device* dev = *it;
            PDEVICE_OBJECT above = std::atomic_ref<PDEVICE_OBJECT>(dev->pdo->AttachedDevice).load();
            if (above == nullptr && dev->activeCancels.load() == 0 &&
                dev->dispatching.load() == 0) {
                ready.push_back(dev);
                it = removed.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Device* dev : ready) reap(dev);
    return !ready.empty();
}

void Bus::Impl::reap(Device* dev) {
    IoDeleteDevice(dev->pdo);
    IoDeleteDevice(dev->port);
    std::shared_ptr<DeviceBackend> backend = std::move(dev->backend);
    // The backend lets go of the device (its sink) before the device goes:
    // a camera that reports its leaving at this moment reaches the device
    // still there, and nothing after the detach.
    backend->attach(nullptr);
    std::string path = dev->instancePath;
    bool replug;
    {
        std::lock_guard<std::mutex> g(lock);
        std::erase(devices, dev);
        replug = dev->replug && !closing;
    }
    poolDelete(dev);
    if (replug && backend->reenumerate()) {
        std::string error;
        plug(backend, path, &error);
    }
    endTransition();
}

void Bus::Impl::run() {
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
        if (!jobs.empty()) {
            std::function<void()> job = std::move(jobs.front());
            jobs.pop_front();
            busy = true;
            g.unlock();
            job();
            g.lock();
            busy = false;
            changed.notify_all();
            continue;
        }
        if (!removed.empty()) {
            g.unlock();
            bool any = reapReady();
            g.lock();
            if (any) {
                changed.notify_all();
                continue;
            }
            // Waiting for a function driver to detach: look again shortly.
            changed.wait_for(g, std::chrono::milliseconds(1));
            continue;
        }
        if (stopping) break;
        changed.wait(g);
    }
}

PDEVICE_OBJECT Bus::Impl::plug(std::shared_ptr<DeviceBackend> backend,
                               const std::string& instancePath, std::string* error) {
    std::string local;
    if (!error) error = &local;
    if (!driver || !backend) {
        *error = !driver ? "the bus driver is not loaded" : "no backend";
        return nullptr;
    }
    Device* dev = poolNew<Device>();
    if (!dev) {
        *error = "out of pool";
        return nullptr;
    }
    dev->bus = this;
    dev->backend = backend;
    dev->instancePath = instancePath;
    backend->attach(dev);
    bool ok = enumerate(dev, error);
    bool gone;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        gone = dev->gone;
    }
    if (ok && gone) {
        *error = "the device left during enumeration";
        ok = false;
    }
    if (ok) {
        unsigned n = nextDeviceNumber.fetch_add(1);
        std::string base = "\\Device\\" + name + "-";
        dev->port = createDevice(driver, base + "Port" + std::to_string(n), FILE_DEVICE_USB,
                                 kPortMagic, dev, this);
        dev->pdo = dev->port ? createDevice(driver, base + "PDO" + std::to_string(n),
                                            FILE_DEVICE_USB, kPdoMagic, dev, this)
                             : nullptr;
        if (!dev->pdo) {
            if (dev->port) IoDeleteDevice(dev->port);
            *error = "could not create the device objects";
            ok = false;
        }
    }
    if (!ok) {
        backend->attach(nullptr);
        poolDelete(dev);
        return nullptr;
    }
    // The port object forwards what it does not handle to the physical
    // device object, so it needs a stack location more.
    dev->port->StackSize = static_cast<CCHAR>(dev->pdo->StackSize + 1);
    char hardwareId[32];
    std::snprintf(hardwareId, sizeof hardwareId, "USB\\VID_%04X&PID_%04X",
                  dev->deviceDescriptor.idVendor, dev->deviceDescriptor.idProduct);
    kio::setDeviceInstance(dev->pdo, instancePath, hardwareId);
    BusListener* l;
    {
        std::lock_guard<std::mutex> g(lock);
        devices.push_back(dev);
        l = listener;
    }
    PDEVICE_OBJECT pdo = dev->pdo;
    {
        std::lock_guard<std::mutex> g(dev->lock);
        dev->published = true;
        gone = dev->gone;
    }
    if (l) l->deviceArrived(pdo);
    if (gone) depart(dev);
    return pdo;
}

// ---------------------------------------------------------------------------
// Bus

Bus::Bus(const std::string& name) : impl_(std::make_unique<Impl>()) {
    impl_->name = name;
    if (!NT_SUCCESS(kio::loadDriver(name.c_str(), busDriverEntry, &impl_->driver))) {
        impl_->driver = nullptr;
        return;
    }
    unsigned n = nextDeviceNumber.fetch_add(1);
    impl_->root = createDevice(impl_->driver, "\\Device\\" + name + "-Root" + std::to_string(n),
                               FILE_DEVICE_BUS_EXTENDER, kRootMagic, nullptr, impl_.get());
    impl_->thread = std::thread([this] { impl_->run(); });
}

Bus::~Bus() {
    if (impl_->driver) {
        {
            std::lock_guard<std::mutex> g(impl_->lock);
            impl_->closing = true;
        }
        for (PDEVICE_OBJECT pdo : devices()) unplug(pdo);
        bool empty;
        {
            std::unique_lock<std::mutex> g(impl_->lock);
            empty = impl_->changed.wait_for(g, std::chrono::seconds(30), [&] {
                return impl_->devices.empty() && impl_->jobs.empty() && !impl_->busy;
            });
        }
        if (!empty) {
            kverifier::report("bus-devices-left",
                              "bus " + impl_->name +
                                  " destroyed while a device stack did not let go of its device");
        }
        {
            std::lock_guard<std::mutex> g(impl_->lock);
            impl_->stopping = true;
            impl_->changed.notify_all();
        }
        if (impl_->thread.joinable()) impl_->thread.join();
        if (empty) {
            if (impl_->root) IoDeleteDevice(impl_->root);
            kio::unloadDriver(impl_->driver);
        }
    }
}

void Bus::setListener(BusListener* listener) {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->listener = listener;
}

PDEVICE_OBJECT Bus::plug(std::shared_ptr<DeviceBackend> backend, const std::string& instancePath,
                         std::string* error) {
    return impl_->plug(std::move(backend), instancePath, error);
}

void Bus::unplug(PDEVICE_OBJECT pdo) {
    Device* dev = nullptr;
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        for (Device* d : impl_->devices)
            if (d->pdo == pdo) dev = d;
    }
    if (dev) impl_->depart(dev);
}

std::vector<PDEVICE_OBJECT> Bus::devices() const {
    std::vector<PDEVICE_OBJECT> out;
    std::lock_guard<std::mutex> g(impl_->lock);
    for (Device* d : impl_->devices) {
        std::lock_guard<std::mutex> dg(d->lock);
        if (d->published && !d->gone) out.push_back(d->pdo);
    }
    return out;
}

PDRIVER_OBJECT Bus::driver() const {
    return impl_->driver;
}

bool Bus::settle(int timeoutMs) {
    std::unique_lock<std::mutex> g(impl_->lock);
    return impl_->changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        return impl_->transitions == 0 && impl_->jobs.empty() && !impl_->busy &&
               impl_->removed.empty();
    });
}

namespace {
Device* deviceOf(PDEVICE_OBJECT pdo) {
    ObjectExtension* x = extensionOf(pdo);
    if (!x || !pdo->DriverObject || pdo->DriverObject->MajorFunction[IRP_MJ_PNP] != busDispatch)
        return nullptr;
    return x->magic == kPdoMagic ? x->device : nullptr;
}
}  // namespace

std::shared_ptr<DeviceBackend> backendOf(PDEVICE_OBJECT pdo) {
    Device* dev = deviceOf(pdo);
    if (!dev) return nullptr;
    std::lock_guard<std::mutex> g(dev->lock);
    return dev->gone ? nullptr : dev->backend;
}

std::vector<std::string> descriptorProblems(PDEVICE_OBJECT pdo) {
    Device* dev = deviceOf(pdo);
    if (!dev) return {};
    std::lock_guard<std::mutex> g(dev->lock);
    return dev->problems;
}

}  // namespace usbbus
