#include "tests/channels/fake_driver.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <string>

#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "platform/user/channel_transport.h"

namespace pavtest {

struct FakeDriver::State {
    mutable std::mutex lock;
    std::vector<Seen> seen;
    std::vector<PIRP> held;
    int cancelled = 0;
    std::multimap<std::uint32_t, PKEVENT> events;
    std::uint32_t nextId = 0x100;
    std::condition_variable unblock;
    std::size_t blocking = 0;
    std::uint64_t releases = 0;
    std::uint32_t vendor = 0xF1A5;
    std::uint32_t product = 0x0B2D;
    std::uint8_t propertyStatus = 0;
};

namespace {

FakeDriver::State* stateOf(PDEVICE_OBJECT d) {
    return *static_cast<FakeDriver::State**>(d->DeviceExtension);
}

NTSTATUS succeed(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS complete(PIRP irp, NTSTATUS st, ULONG_PTR info) {
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

void cancelHeld(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FakeDriver::State* s = stateOf(device);
    {
        std::lock_guard<std::mutex> g(s->lock);
        auto it = std::find(s->held.begin(), s->held.end(), irp);
        if (it == s->held.end()) return;
        s->held.erase(it);
        s->cancelled++;
    }
    complete(irp, STATUS_CANCELLED, 0);
}

std::uint32_t u32(const UCHAR* b, std::size_t at, ULONG length) {
    if (at + 4 > length) return 0;
    std::uint32_t v;
    std::memcpy(&v, b + at, 4);
    return v;
}

NTSTATUS control(PDEVICE_OBJECT device, PIRP irp) {
    using namespace pav512;
    FakeDriver::State* s = stateOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG length = std::min(sp->Parameters.DeviceIoControl.InputBufferLength,
                            sp->Parameters.DeviceIoControl.OutputBufferLength);
    auto* b = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    {
        std::lock_guard<std::mutex> g(s->lock);
        s->seen.push_back({code, b ? u32(b, 4, length) : 0, b ? u32(b, 8, length) : 0,
                           b ? u32(b, 24, length) : 0,
                           b ? std::vector<std::uint8_t>(b, b + length) : std::vector<std::uint8_t>()});
    }
    if (code == kFillCode) {
        const ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
        for (ULONG i = sp->Parameters.DeviceIoControl.InputBufferLength; i < out; ++i)
            b[i] = fillByte(i);
        return complete(irp, STATUS_SUCCESS, out);
    }
    ULONG need = minimumLength(code);
    if (need == 0) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (!b || length < need) return complete(irp, STATUS_INVALID_PARAMETER, 0);
    auto put = [&](std::size_t at, std::uint32_t v) { std::memcpy(b + at, &v, 4); };
    switch (code) {
        case IOCTL_CTI_VERSION:
        case IOCTL_DEBUG_VERSION:
        case IOCTL_STREAM_VERSION:
        case IOCTL_VPI_VERSION:
        case IOCTL_PTP_VERSION: {
            USHORT v = kInterfaceVersion;
            std::memcpy(b + versionOffset(code), &v, 2);
            break;
        }
        case IOCTL_CTI_OPEN: {
            // A command session comes back in the value word.
            std::lock_guard<std::mutex> g(s->lock);
            put(16, s->nextId++);
            break;
        }
        case IOCTL_STREAM_OPEN: {
            std::lock_guard<std::mutex> g(s->lock);
            put(4, s->nextId++);
            break;
        }
        case IOCTL_PTP_OPEN:
        case IOCTL_PTP_OPEN_WIA: {
            std::lock_guard<std::mutex> g(s->lock);
            put(8, s->nextId++);
            break;
        }
        case IOCTL_VPI_DEVICE_ID: {
            std::lock_guard<std::mutex> g(s->lock);
            put(4, s->vendor);
            put(8, s->product);
            break;
        }
        case IOCTL_VPI_PROPERTY_GET:
        case IOCTL_VPI_PROPERTY_SET:
        case IOCTL_VPI_PROPERTY_DEFAULT: {
            std::uint8_t status;
            {
                std::lock_guard<std::mutex> g(s->lock);
                status = s->propertyStatus;
            }
            if (code == IOCTL_VPI_PROPERTY_GET && status == kModuleStatusSuccess)
                for (ULONG i = kPropertyDataOffset; i < length; ++i)
                    b[i] = static_cast<UCHAR>(0xA0 + (i - kPropertyDataOffset));
            b[0] = status;
            return complete(irp, STATUS_SUCCESS, sp->Parameters.DeviceIoControl.OutputBufferLength);
        }
        case IOCTL_VPI_NOTIFICATION_SET: {
            std::uint32_t h = u32(b, 24, length);
            PVOID ev = nullptr;
            if (NT_SUCCESS(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(std::uintptr_t{h}),
                                                     SYNCHRONIZE, *ExEventObjectType, UserMode, &ev,
                                                     nullptr))) {
                std::lock_guard<std::mutex> g(s->lock);
                s->events.emplace(h, static_cast<PKEVENT>(ev));
            }
            break;
        }
        case IOCTL_VPI_NOTIFICATION_CLEAR: {
            std::vector<PKEVENT> drop;
            {
                std::lock_guard<std::mutex> g(s->lock);
                auto [from, to] = s->events.equal_range(u32(b, 24, length));
                for (auto it = from; it != to; ++it) drop.push_back(it->second);
                s->events.erase(from, to);
            }
            for (PKEVENT e : drop) ObfDereferenceObject(e);
            break;
        }
        case kHoldCode: {
            IoMarkIrpPending(irp);
            {
                std::lock_guard<std::mutex> g(s->lock);
                s->held.push_back(irp);
            }
            IoSetCancelRoutine(irp, cancelHeld);
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
                {
                    std::lock_guard<std::mutex> g(s->lock);
                    s->held.erase(std::find(s->held.begin(), s->held.end(), irp));
                    s->cancelled++;
                }
                complete(irp, STATUS_CANCELLED, 0);
            }
            return STATUS_PENDING;
        }
        case kBlockCode: {
            std::unique_lock<std::mutex> g(s->lock);
            std::uint64_t round = s->releases;
            ++s->blocking;
            s->unblock.wait(g, [&] { return s->releases != round; });
            --s->blocking;
            break;
        }
        default:
            break;
    }
    b[0] = kModuleStatusSuccess;
    return complete(irp, STATUS_SUCCESS, sp->Parameters.DeviceIoControl.OutputBufferLength);
}

NTSTATUS create(PDEVICE_OBJECT device, PIRP irp) {
    PFILE_OBJECT fo = IoGetCurrentIrpStackLocation(irp)->FileObject;
    std::string name;
    if (fo)
        for (int i = 0; i < fo->FileName.Length / 2; ++i)
            name.push_back(static_cast<char>(fo->FileName.Buffer[i]));
    if (name.rfind(kBlockingOpenName, 0) == 0) {
        FakeDriver::State* s = stateOf(device);
        std::unique_lock<std::mutex> g(s->lock);
        std::uint64_t round = s->releases;
        ++s->blocking;
        s->unblock.wait(g, [&] { return s->releases != round; });
        --s->blocking;
    }
    return succeed(device, irp);
}

NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = create;
    driver->MajorFunction[IRP_MJ_CLOSE] = succeed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = succeed;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = control;
    return STATUS_SUCCESS;
}

}  // namespace

std::unique_ptr<FakeDriver> FakeDriver::create(const std::string& instance) {
    std::unique_ptr<FakeDriver> f(new FakeDriver());
    if (!NT_SUCCESS(kio::loadDriver("pavfake", entry, &f->driver_))) return nullptr;
    if (!NT_SUCCESS(IoCreateDevice(f->driver_, sizeof(State*), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &f->device_)))
        return nullptr;
    *static_cast<State**>(f->device_->DeviceExtension) = new State();
    f->device_->Flags &= ~DO_DEVICE_INITIALIZING;
    kio::setDeviceInstance(f->device_, instance, "USB\\VID_F1A5&PID_0B2D");
    if (!NT_SUCCESS(IoRegisterDeviceInterface(f->device_, &pav512::kInterfaceClassGuid, nullptr,
                                              &f->link_)))
        return nullptr;
    IoSetDeviceInterfaceState(&f->link_, TRUE);
    f->enabled_ = true;
    return f;
}

FakeDriver::~FakeDriver() {
    if (device_) {
        disableInterface();
        State* s = stateOf(device_);
        releaseHeld();
        for (auto& [h, e] : s->events) ObfDereferenceObject(e);
        delete s;
        IoDeleteDevice(device_);
    }
    RtlFreeUnicodeString(&link_);
    if (driver_) kio::unloadDriver(driver_);
}

std::string FakeDriver::interfacePath() const {
    std::string link;
    for (int i = 0; i < link_.Length / 2; ++i) link.push_back(static_cast<char>(link_.Buffer[i]));
    return uchannel::userPathOf(link);
}

void FakeDriver::disableInterface() {
    if (enabled_) IoSetDeviceInterfaceState(&link_, FALSE);
    enabled_ = false;
}

std::vector<FakeDriver::Seen> FakeDriver::seen() const {
    State* s = stateOf(device_);
    std::lock_guard<std::mutex> g(s->lock);
    return s->seen;
}

std::size_t FakeDriver::count(ULONG code) const {
    auto all = seen();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const Seen& x) { return x.code == code; }));
}

std::size_t FakeDriver::held() const {
    State* s = stateOf(device_);
    std::lock_guard<std::mutex> g(s->lock);
    return s->held.size();
}

int FakeDriver::cancelled() const {
    State* s = stateOf(device_);
    std::lock_guard<std::mutex> g(s->lock);
    return s->cancelled;
}

void FakeDriver::releaseHeld() {
    State* s = stateOf(device_);
    std::vector<PIRP> irps;
    {
        std::lock_guard<std::mutex> g(s->lock);
        for (PIRP irp : s->held)
            if (IoSetCancelRoutine(irp, nullptr)) irps.push_back(irp);
        for (PIRP irp : irps) s->held.erase(std::find(s->held.begin(), s->held.end(), irp));
    }
    for (PIRP irp : irps) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer)[0] = pav512::kModuleStatusSuccess;
        complete(irp, STATUS_SUCCESS, sp->Parameters.DeviceIoControl.OutputBufferLength);
    }
}

std::size_t FakeDriver::blocking() const {
    State* s = stateOf(device_);
    std::lock_guard<std::mutex> g(s->lock);
    return s->blocking;
}

void FakeDriver::releaseBlocking() {
    State* s = stateOf(device_);
    std::lock_guard<std::mutex> g(s->lock);
    ++s->releases;
    s->unblock.notify_all();
}

void FakeDriver::signalEvents() {
    State* s = stateOf(device_);
    std::vector<PKEVENT> events;
    {
        std::lock_guard<std::mutex> g(s->lock);
        for (auto& [h, e] : s->events) {
            ObfReferenceObject(e);
            events.push_back(e);
        }
    }
    for (PKEVENT e : events) {
        KeSetEvent(e, IO_NO_INCREMENT, FALSE);
        ObfDereferenceObject(e);
    }
}

void FakeDriver::setDeviceIds(std::uint32_t vendor, std::uint32_t product) {
    State* s = stateOf(device_);
    std::lock_guard<std::mutex> g(s->lock);
    s->vendor = vendor;
    s->product = product;
}

void FakeDriver::setPropertyStatus(std::uint8_t status) {
    State* s = stateOf(device_);
    std::lock_guard<std::mutex> g(s->lock);
    s->propertyStatus = status;
}

std::size_t FakeDriver::registeredEvents() const {
    State* s = stateOf(device_);
    std::lock_guard<std::mutex> g(s->lock);
    return s->events.size();
}

}  // namespace pavtest
