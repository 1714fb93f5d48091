#include "host/minidriver.h"

#include <chrono>
#include <cstring>

namespace host {

CaptureMinidriver::CaptureMinidriver() {
    own_.deviceRequestCompletion = kroutine::add<SrbDeviceRequestComplete>(deviceRequestComplete);
    own_.streamRequestCompletion = kroutine::add<SrbStreamRequestComplete>(streamRequestComplete);
    own_.filterRegistration = kroutine::add<SrbFilterRegistration>(filterRegistration);
    own_.masterClockQuery = kroutine::add<SrbMasterClockQuery>(masterClockQuery);
    own_.propertyChange = kroutine::add<SrbPropertyChange>(propertyChange);
    own_.streamReceive = kroutine::add<SrbStreamReceive>(streamReceive);
    own_.minidriverContext = kroutine::addObject(this);
    own_.interfaceVersion = pav512::kInterfaceVersion;
    own_.deviceEvent = kroutine::add<SrbDeviceEvent>(deviceEvent);
}

CaptureMinidriver::~CaptureMinidriver() {
    if (connected_) disconnect();
    for (kroutine::Token t : {own_.deviceRequestCompletion, own_.streamRequestCompletion,
                              own_.filterRegistration, own_.masterClockQuery, own_.propertyChange,
                              own_.streamReceive, own_.minidriverContext, own_.deviceEvent})
        kroutine::remove(t);
}

pav512::ConnectRecord CaptureMinidriver::ownRecord() const {
    return own_;
}

bool CaptureMinidriver::connected() const {
    return connected_;
}

void CaptureMinidriver::deviceGone() {
    device_ = nullptr;
    connected_ = false;
}

namespace {

// An internal request as a kernel component sends it: built by the I/O
// manager, sent to the top of the stack, waited for.
NTSTATUS sendInternal(PDEVICE_OBJECT device, ULONG code, void* buffer, ULONG inputLength,
                      ULONG outputLength, ULONG_PTR* information) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, top, buffer, inputLength, buffer, outputLength,
                                             TRUE, &done, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS st = IoCallDriver(top, irp);
    if (st == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        st = iosb.Status;
    } else {
        st = iosb.Status;
    }
    if (information) *information = iosb.Information;
    return st;
}

}  // namespace

NTSTATUS CaptureMinidriver::sendConnect(PDEVICE_OBJECT device, pav512::ConnectRecord* record,
                                        ULONG inputLength, ULONG outputLength,
                                        ULONG_PTR* information) {
    // Room for the longest record a test may send.
    std::uint8_t buffer[2 * sizeof(pav512::ConnectRecord)] = {};
    std::memcpy(buffer, record, sizeof *record);
    if (inputLength > sizeof buffer || outputLength > sizeof buffer)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS st = sendInternal(device, pav512::IOCTL_INTERNAL_CONNECT, buffer, inputLength,
                               outputLength, information);
    std::memcpy(record, buffer, sizeof *record);
    return st;
}

NTSTATUS CaptureMinidriver::connect(PDEVICE_OBJECT device) {
    pav512::ConnectRecord record = own_;
    ULONG_PTR info = 0;
    NTSTATUS st = sendConnect(device, &record, pav512::kConnectRecordLength,
                              pav512::kConnectRecordLength, &info);
    if (!NT_SUCCESS(st)) return st;
    if (info != pav512::kConnectRecordLength ||
        !kroutine::resolve<SrbDriverReceive>(record.receiveRequestBlock) ||
        !kroutine::resolve<SrbDriverCancel>(record.cancelRequestBlock) ||
        !kroutine::resolve<SrbDriverTimeout>(record.requestBlockTimeout) ||
        !kroutine::resolve<SrbDriverWatch>(record.propertyWatch) || record.deviceRecord == 0) {
        // The driver answered with routines this minidriver cannot call.
        sendInternal(device, pav512::IOCTL_INTERNAL_DISCONNECT, nullptr, 0, 0, nullptr);
        return STATUS_INVALID_DEVICE_STATE;
    }
    driverRecord_ = record;
    device_ = device;
    connected_ = true;
    return STATUS_SUCCESS;
}

NTSTATUS CaptureMinidriver::disconnect() {
    if (!device_) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS st = sendInternal(device_, pav512::IOCTL_INTERNAL_DISCONNECT, nullptr, 0, 0, nullptr);
    connected_ = false;
    return st;
}

bool CaptureMinidriver::submit(HW_STREAM_REQUEST_BLOCK* srb) {
    auto* fn = connected_ ? kroutine::resolve<SrbDriverReceive>(driverRecord_.receiveRequestBlock)
                          : nullptr;
    if (!fn) return false;
    srb->HwDeviceExtension = this;  // comes back with the completion
    fn(driverRecord_.deviceRecord, srb);
    return true;
}

bool CaptureMinidriver::cancel(HW_STREAM_REQUEST_BLOCK* srb) {
    auto* fn =
        connected_ ? kroutine::resolve<SrbDriverCancel>(driverRecord_.cancelRequestBlock) : nullptr;
    if (!fn) return false;
    fn(driverRecord_.deviceRecord, srb);
    return true;
}

bool CaptureMinidriver::resetTimeout(HW_STREAM_REQUEST_BLOCK* srb) {
    auto* fn = connected_ ? kroutine::resolve<SrbDriverTimeout>(driverRecord_.requestBlockTimeout)
                          : nullptr;
    if (!fn) return false;
    fn(driverRecord_.deviceRecord, srb);
    return true;
}

bool CaptureMinidriver::watch(SRB_WATCH_RECORD* record) {
    auto* fn =
        connected_ ? kroutine::resolve<SrbDriverWatch>(driverRecord_.propertyWatch) : nullptr;
    if (!fn) return false;
    record->Context = this;
    fn(driverRecord_.deviceRecord, record);
    return true;
}

void CaptureMinidriver::completed(HW_STREAM_REQUEST_BLOCK* srb, bool viaStream) {
    std::lock_guard<std::mutex> g(lock_);
    completions_.push_back({srb, viaStream, srb->Status});
    arrived_.notify_all();
}

bool CaptureMinidriver::waitCompletions(std::size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> g(lock_);
    return arrived_.wait_for(g, std::chrono::milliseconds(timeoutMs),
                             [&] { return completions_.size() >= count; });
}

std::vector<CaptureMinidriver::Completion> CaptureMinidriver::completions() const {
    std::lock_guard<std::mutex> g(lock_);
    return completions_;
}

std::vector<CaptureMinidriver::PropertyChange> CaptureMinidriver::propertyChanges() const {
    std::lock_guard<std::mutex> g(lock_);
    return changes_;
}

void CaptureMinidriver::deviceRequestComplete(PVOID hwDeviceExtension,
                                              HW_STREAM_REQUEST_BLOCK* srb) {
    if (auto* self = static_cast<CaptureMinidriver*>(hwDeviceExtension))
        self->completed(srb, false);
}

void CaptureMinidriver::streamRequestComplete(HW_STREAM_OBJECT*, HW_STREAM_REQUEST_BLOCK* srb) {
    if (auto* self = static_cast<CaptureMinidriver*>(srb->HwDeviceExtension))
        self->completed(srb, true);
}

// The capture stack's filter registration is not modelled: the pin is
// accepted as announced.
NTSTATUS CaptureMinidriver::filterRegistration(PDEVICE_OBJECT, const GUID*, ULONG) {
    return STATUS_SUCCESS;
}

// No master clock is ever indicated by this stand-in.
LONGLONG CaptureMinidriver::masterClockQuery(PVOID) {
    return 0;
}

void CaptureMinidriver::propertyChange(ULONG reason, PVOID context, ULONG_PTR, const GUID* set,
                                       ULONG identifier) {
    auto* self = static_cast<CaptureMinidriver*>(context);
    if (!self || !set) return;
    std::lock_guard<std::mutex> g(self->lock_);
    self->changes_.push_back({reason, context, *set, identifier});
}

// Stream requests from the capture stack go to the driver unchanged.
void CaptureMinidriver::streamReceive(HW_STREAM_REQUEST_BLOCK* srb) {
    if (auto* self = static_cast<CaptureMinidriver*>(srb->HwDeviceExtension)) self->submit(srb);
}

NTSTATUS CaptureMinidriver::deviceEvent(PVOID) {
    return STATUS_SUCCESS;
}

}  // namespace host
