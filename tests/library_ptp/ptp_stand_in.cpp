#include "tests/library_ptp/ptp_stand_in.h"

#include <algorithm>
#include <cstring>

#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "platform/user/channel_transport.h"

namespace ptplibtest {

struct PtpStandIn::State {
    mutable std::mutex lock;
    std::vector<Seen> seen;
    Answers answers;
    std::uint32_t nextSession = 0x40;
};

namespace {

PtpStandIn::State* stateOf(PDEVICE_OBJECT d) {
    return *static_cast<PtpStandIn::State**>(d->DeviceExtension);
}

NTSTATUS complete(PIRP irp, NTSTATUS st, ULONG_PTR info) {
    irp->IoStatus.Status = st;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return st;
}

NTSTATUS succeed(PDEVICE_OBJECT, PIRP irp) { return complete(irp, STATUS_SUCCESS, 0); }

void put16(UCHAR* b, std::size_t at, std::uint16_t v) { std::memcpy(b + at, &v, 2); }
void put32(UCHAR* b, std::size_t at, std::uint32_t v) { std::memcpy(b + at, &v, 4); }

NTSTATUS control(PDEVICE_OBJECT device, PIRP irp) {
    using namespace pav512;
    PtpStandIn::State* s = stateOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG length = std::min(sp->Parameters.DeviceIoControl.InputBufferLength, out);
    auto* b = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    std::lock_guard<std::mutex> g(s->lock);
    s->seen.push_back({code, b ? std::vector<std::uint8_t>(b, b + length) : std::vector<std::uint8_t>()});
    if (!b || length < sizeof(PtpHeader)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
    const PtpStandIn::Answers& a = s->answers;
    std::uint8_t status = kModuleStatusSuccess;
    switch (code) {
        case IOCTL_PTP_VERSION:
            put16(b, kPtpVersionOffset, a.version);
            break;
        case IOCTL_PTP_OPEN:
        case IOCTL_PTP_OPEN_WIA:
            status = a.openStatus;
            if (status == kModuleStatusSuccess) put32(b, kPtpOpenSessionOffset, s->nextSession++);
            break;
        case IOCTL_PTP_LOCK:
            status = a.lockStatus;
            break;
        case IOCTL_PTP_TRANSFER:
        case IOCTL_PTP_COMMAND: {
            status = a.transferStatus;
            if (status != kModuleStatusSuccess) break;
            const ULONG room = length - kPtpDataOffset;
            const bool transfer = code == IOCTL_PTP_TRANSFER;
            std::uint16_t kind = 0;
            std::memcpy(&kind, b + 8, 2);
            if (transfer && kind == 1) break;
            const std::size_t n = std::min<std::size_t>(a.data.size(), room);
            if (n) std::memcpy(b + kPtpDataOffset, a.data.data(), n);
            const std::uint32_t said = a.claimedLength ? a.claimedLength : static_cast<std::uint32_t>(n);
            if (transfer) {
                if (kind == 3) put16(b, 10, a.responseCode);
                put32(b, 16, static_cast<std::uint32_t>(a.data.size()));
                put32(b, 20, said);
                put32(b, 24, 0);
            } else {
                put32(b, 12, said);
            }
            break;
        }
        default:
            break;
    }
    b[0] = status;
    return complete(irp, STATUS_SUCCESS, out);
}

NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = succeed;
    driver->MajorFunction[IRP_MJ_CLOSE] = succeed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = succeed;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = control;
    return STATUS_SUCCESS;
}

}  // namespace

std::unique_ptr<PtpStandIn> PtpStandIn::create(const std::string& instance) {
    std::unique_ptr<PtpStandIn> f(new PtpStandIn());
    if (!NT_SUCCESS(kio::loadDriver("pavptpstandin", entry, &f->driver_))) return nullptr;
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
    return f;
}

PtpStandIn::~PtpStandIn() {
    if (device_) {
        IoSetDeviceInterfaceState(&link_, FALSE);
        delete stateOf(device_);
        IoDeleteDevice(device_);
    }
    RtlFreeUnicodeString(&link_);
    if (driver_) kio::unloadDriver(driver_);
}

std::string PtpStandIn::interfacePath() const {
    std::string link;
    for (int i = 0; i < link_.Length / 2; ++i) link.push_back(static_cast<char>(link_.Buffer[i]));
    return uchannel::userPathOf(link);
}

void PtpStandIn::answer(const Answers& a) {
    State* s = stateOf(device_);
    std::lock_guard<std::mutex> g(s->lock);
    s->answers = a;
}

std::vector<PtpStandIn::Seen> PtpStandIn::seen() const {
    State* s = stateOf(device_);
    std::lock_guard<std::mutex> g(s->lock);
    return s->seen;
}

std::size_t PtpStandIn::count(ULONG code) const {
    auto all = seen();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const Seen& x) { return x.code == code; }));
}

}  // namespace ptplibtest
