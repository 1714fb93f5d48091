#include "host/minidriver.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/kernel/clock.h"

namespace host {

namespace {

// The block whose submit is running on this thread: a completion of that
// very block comes before the driver returned from its receive routine.
thread_local const HW_STREAM_REQUEST_BLOCK* tSubmitting = nullptr;

std::atomic<std::uint64_t> gRoutineCalls{0};
std::mutex gRegistrationLock;
std::vector<std::pair<GUID, ULONG>> gRegistrations;

}  // namespace

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
    stopReader();
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
    // No read of ours may be on its way to the driver once it has let go.
    stopQueueingReads();
    NTSTATUS st = sendInternal(device_, pav512::IOCTL_INTERNAL_DISCONNECT, nullptr, 0, 0, nullptr);
    connected_ = false;
    return st;
}

bool CaptureMinidriver::submit(HW_STREAM_REQUEST_BLOCK* srb) {
    auto* fn = connected_ ? kroutine::resolve<SrbDriverReceive>(driverRecord_.receiveRequestBlock)
                          : nullptr;
    if (!fn) return false;
    srb->HwDeviceExtension = this;  // comes back with the completion
    const HW_STREAM_REQUEST_BLOCK* outer = tSubmitting;
    tSubmitting = srb;
    fn(driverRecord_.deviceRecord, srb);
    tSubmitting = outer;
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
    if (ReadSlot* slot = slotOf(srb)) {
        // The buffer is ours again: what the capture stack takes from it.
        const SRB_VIDEO_READ_HEADER& h = slot->header;
        Frame f{};
        f.srb = srb;
        f.status = srb->Status;
        f.dataUsed = h.Header.DataUsed;
        f.bytes.assign(slot->data.begin(),
                       slot->data.begin() + std::min<std::size_t>(h.Header.DataUsed,
                                                                  slot->data.size()));
        f.optionsFlags = h.Header.OptionsFlags;
        f.presentationTime = h.Header.PresentationTime.Time;
        f.pictureNumber = h.FrameInfo.PictureNumber;
        f.dropCount = h.FrameInfo.DropCount;
        f.frameFlags = h.FrameInfo.dwFrameFlags;
        f.duringSubmit = tSubmitting == srb;
        frames_.push_back(std::move(f));
        if (srb->Status == STATUS_SUCCESS) ++framesFilled_;
        slot->outstanding = false;
        // A cancelled read means the capture ended (stop, power-down).
        if (srb->Status == STATUS_CANCELLED) slot->handBack = false;
    }
    arrived_.notify_all();
}

void CaptureMinidriver::logCall(Routine routine) {
    std::lock_guard<std::mutex> g(lock_);
    calls_.push_back(routine);
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

std::size_t CaptureMinidriver::completionsOf(const HW_STREAM_REQUEST_BLOCK* srb) const {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<std::size_t>(std::count_if(
        completions_.begin(), completions_.end(), [&](const Completion& c) { return c.srb == srb; }));
}

std::vector<CaptureMinidriver::Routine> CaptureMinidriver::routineCalls() const {
    std::lock_guard<std::mutex> g(lock_);
    return calls_;
}

std::uint64_t CaptureMinidriver::allRoutineCalls() {
    return gRoutineCalls.load();
}

void CaptureMinidriver::deviceRequestComplete(PVOID hwDeviceExtension,
                                              HW_STREAM_REQUEST_BLOCK* srb) {
    ++gRoutineCalls;
    if (auto* self = static_cast<CaptureMinidriver*>(hwDeviceExtension)) {
        self->logCall(Routine::DeviceRequestComplete);
        self->completed(srb, false);
    }
}

void CaptureMinidriver::streamRequestComplete(HW_STREAM_OBJECT*, HW_STREAM_REQUEST_BLOCK* srb) {
    ++gRoutineCalls;
    if (auto* self = static_cast<CaptureMinidriver*>(srb->HwDeviceExtension)) {
        self->logCall(Routine::StreamRequestComplete);
        self->completed(srb, true);
    }
}

// The capture stack's filter registration is not modelled: the pin is
// accepted as announced, and what was announced is kept.
NTSTATUS CaptureMinidriver::filterRegistration(PDEVICE_OBJECT, const GUID* category,
                                               ULONG pinCount) {
    ++gRoutineCalls;
    // Called while the initialisation-complete block is being processed,
    // normally on the thread that submitted it.
    if (tSubmitting)
        if (auto* self = static_cast<CaptureMinidriver*>(tSubmitting->HwDeviceExtension))
            self->logCall(Routine::FilterRegistration);
    std::lock_guard<std::mutex> g(gRegistrationLock);
    gRegistrations.push_back({category ? *category : GUID{}, pinCount});
    return STATUS_SUCCESS;
}

// The clock handle this stand-in indicates is itself.
LONGLONG CaptureMinidriver::masterClockQuery(PVOID clock) {
    ++gRoutineCalls;
    auto* self = static_cast<CaptureMinidriver*>(clock);
    if (!self) return 0;
    self->logCall(Routine::MasterClockQuery);
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> g(self->lock_);
        hook = self->clockHook_;
    }
    if (hook) hook();
    return kclock::now() - self->clockStart_;
}

void CaptureMinidriver::propertyChange(ULONG reason, PVOID context, ULONG_PTR, const GUID* set,
                                       ULONG identifier) {
    ++gRoutineCalls;
    auto* self = static_cast<CaptureMinidriver*>(context);
    if (!self || !set) return;
    self->logCall(Routine::PropertyChange);
    std::lock_guard<std::mutex> g(self->lock_);
    self->changes_.push_back({reason, context, *set, identifier});
}

// Stream requests from the capture stack go to the driver unchanged.
void CaptureMinidriver::streamReceive(HW_STREAM_REQUEST_BLOCK* srb) {
    ++gRoutineCalls;
    if (auto* self = static_cast<CaptureMinidriver*>(srb->HwDeviceExtension)) {
        self->logCall(Routine::StreamReceive);
        self->submit(srb);
    }
}

NTSTATUS CaptureMinidriver::deviceEvent(PVOID) {
    ++gRoutineCalls;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Capture

NTSTATUS CaptureMinidriver::request(HW_STREAM_REQUEST_BLOCK* srb, int timeoutMs) {
    std::unique_lock<std::mutex> g(lock_);
    const std::size_t from = completions_.size();
    g.unlock();
    if (!submit(srb)) return STATUS_INVALID_DEVICE_STATE;
    g.lock();
    NTSTATUS status = STATUS_IO_TIMEOUT;
    arrived_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        for (std::size_t i = from; i < completions_.size(); ++i)
            if (completions_[i].srb == srb) {
                status = completions_[i].status;
                return true;
            }
        return false;
    });
    return status;
}

NTSTATUS CaptureMinidriver::initialiseDevice() {
    HW_STREAM_REQUEST_BLOCK init{};
    init.SizeOfThisPacket = sizeof init;
    init.Command = SRB_INITIALIZE_DEVICE;
    NTSTATUS st = request(&init);
    if (!NT_SUCCESS(st)) return st;
    HW_STREAM_REQUEST_BLOCK complete{};
    complete.SizeOfThisPacket = sizeof complete;
    complete.Command = SRB_INITIALIZATION_COMPLETE;
    return request(&complete);
}

std::vector<std::pair<GUID, ULONG>> CaptureMinidriver::filterRegistrations() const {
    std::lock_guard<std::mutex> g(gRegistrationLock);
    return gRegistrations;
}

NTSTATUS CaptureMinidriver::streamInformation(HW_STREAM_DESCRIPTOR* out) {
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_GET_STREAM_INFO;
    srb.CommandData.Data = out;
    srb.ActualBytesTransferred = sizeof *out;  // the room at Data
    return request(&srb);
}

std::vector<KS_DATARANGE_VIDEO> CaptureMinidriver::formatRanges() {
    HW_STREAM_DESCRIPTOR info{};
    std::vector<KS_DATARANGE_VIDEO> out;
    if (streamInformation(&info) != STATUS_SUCCESS) return out;
    const auto* array =
        kroutine::resolveObject<SrbifFormatArray>(info.StreamInfo.StreamFormatsArray);
    if (!array || !array->ranges) return out;
    const ULONG count = std::min(array->count, info.StreamInfo.NumberOfFormatArrayEntries);
    for (ULONG i = 0; i < count; ++i)
        if (array->ranges[i]) out.push_back(*array->ranges[i]);
    return out;
}

NTSTATUS CaptureMinidriver::intersect(KS_DATAFORMAT_VIDEOINFOHEADER* out, LONG width,
                                      LONG height) {
    std::vector<KS_DATARANGE_VIDEO> ranges = formatRanges();
    if (ranges.empty()) return STATUS_NO_MATCH;
    ULONG need = 0;
    STREAM_DATA_INTERSECT_INFO info{0, &ranges[0].DataRange, &need, sizeof need};
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_GET_DATA_INTERSECTION;
    srb.CommandData.Data = &info;
    NTSTATUS st = request(&srb);
    if (!NT_SUCCESS(st)) return st;
    if (srb.ActualBytesTransferred != sizeof need || need < sizeof *out) return STATUS_NO_MATCH;
    std::vector<std::uint8_t> buffer(need);
    info.DataFormatBuffer = buffer.data();
    info.SizeOfDataFormatBuffer = need;
    HW_STREAM_REQUEST_BLOCK full{};
    full.SizeOfThisPacket = sizeof full;
    full.Command = SRB_GET_DATA_INTERSECTION;
    full.CommandData.Data = &info;
    st = request(&full);
    if (!NT_SUCCESS(st)) return st;
    if (full.ActualBytesTransferred != need) return STATUS_NO_MATCH;
    std::memcpy(out, buffer.data(), sizeof *out);
    KS_BITMAPINFOHEADER& b = out->VideoInfoHeader.bmiHeader;
    if ((width && width != b.biWidth) || (height && height != b.biHeight)) {
        if (width) b.biWidth = width;
        if (height) b.biHeight = height;
        // The driver sizes the image by its compression's rule.
        b.biSizeImage = 0;
        out->DataFormat.SampleSize = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CaptureMinidriver::openStreamObject(HW_STREAM_OBJECT* object,
                                             const KS_DATAFORMAT_VIDEOINFOHEADER& format) {
    KS_DATAFORMAT_VIDEOINFOHEADER f = format;
    object->SizeOfThisPacket = sizeof *object;
    object->StreamNumber = 0;
    object->HwDeviceExtension = this;
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_OPEN_STREAM;
    srb.StreamObject = object;
    srb.CommandData.Data = &f;
    return request(&srb);
}

NTSTATUS CaptureMinidriver::openStream(const KS_DATAFORMAT_VIDEOINFOHEADER& format) {
    if (streamOpen_) return STATUS_INVALID_DEVICE_STATE;
    stream_ = HW_STREAM_OBJECT{};
    NTSTATUS st = openStreamObject(&stream_, format);
    if (!NT_SUCCESS(st)) return st;
    streamOpen_ = true;
    format_ = format;
    // The buffers the reads need: the frame size the stream announces.
    KSALLOCATOR_FRAMING framing{};
    if (allocatorFraming(&framing) == STATUS_SUCCESS)
        format_.VideoInfoHeader.bmiHeader.biSizeImage = framing.FrameSize;
    return st;
}

NTSTATUS CaptureMinidriver::setState(ULONG state) {
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_SET_STREAM_STATE;
    srb.StreamObject = &stream_;
    srb.CommandData.StreamState = state;
    return request(&srb);
}

NTSTATUS CaptureMinidriver::getState(ULONG* state) {
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_GET_STREAM_STATE;
    srb.StreamObject = &stream_;
    NTSTATUS st = request(&srb);
    if (state) *state = srb.CommandData.StreamState;
    return st;
}

NTSTATUS CaptureMinidriver::indicateMasterClock(bool on) {
    clockStart_ = kclock::now();
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_INDICATE_MASTER_CLOCK;
    srb.StreamObject = &stream_;
    srb.CommandData.Data = on ? this : nullptr;
    return request(&srb);
}

void CaptureMinidriver::onClockQuery(std::function<void()> hook) {
    std::lock_guard<std::mutex> g(lock_);
    clockHook_ = std::move(hook);
}

namespace {

// A device property request's buffer: the property header, then the value.
struct PropertyBuffer {
    KSPROPERTY property;
    std::vector<std::uint8_t> bytes;
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    PropertyBuffer(const GUID& set, ULONG id, const std::vector<std::uint8_t>& value)
        : property{set, id, 0}, bytes(sizeof(KSPROPERTY) + value.size()) {
        std::memcpy(bytes.data(), &property, sizeof property);
        if (!value.empty()) std::memcpy(bytes.data() + sizeof property, value.data(), value.size());
        descriptor.Property = &property;
        descriptor.PropertyInfo = bytes.data();
        descriptor.PropertyInputSize = descriptor.PropertyOutputSize =
            static_cast<ULONG>(bytes.size());
    }
};

}  // namespace

NTSTATUS CaptureMinidriver::getDeviceProperty(const GUID& set, ULONG id,
                                              std::vector<std::uint8_t>* value) {
    PropertyBuffer p(set, id, *value);
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_GET_DEVICE_PROPERTY;
    srb.CommandData.PropertyInfo = &p.descriptor;
    NTSTATUS st = request(&srb);
    if (NT_SUCCESS(st))
        std::copy(p.bytes.begin() + sizeof(KSPROPERTY), p.bytes.end(), value->begin());
    return st;
}

NTSTATUS CaptureMinidriver::setDeviceProperty(const GUID& set, ULONG id,
                                              const std::vector<std::uint8_t>& value) {
    PropertyBuffer p(set, id, value);
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_SET_DEVICE_PROPERTY;
    srb.CommandData.PropertyInfo = &p.descriptor;
    return request(&srb);
}

NTSTATUS CaptureMinidriver::streamProperty(const GUID& set, ULONG id, void* out, ULONG size) {
    KSPROPERTY property{set, id, 0};
    STREAM_PROPERTY_DESCRIPTOR d{};
    d.Property = &property;
    d.PropertyInfo = out;
    d.PropertyInputSize = sizeof property;
    d.PropertyOutputSize = size;
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_GET_STREAM_PROPERTY;
    srb.StreamObject = &stream_;
    srb.CommandData.PropertyInfo = &d;
    return request(&srb);
}

NTSTATUS CaptureMinidriver::droppedFrames(KSPROPERTY_DROPPEDFRAMES_CURRENT_S* out) {
    return streamProperty(PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT, out,
                          sizeof *out);
}

NTSTATUS CaptureMinidriver::allocatorFraming(KSALLOCATOR_FRAMING* out) {
    return streamProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, out,
                          sizeof *out);
}

NTSTATUS CaptureMinidriver::changePowerState(ULONG deviceState) {
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_CHANGE_POWER_STATE;
    srb.CommandData.DeviceState = deviceState;
    return request(&srb);
}

NTSTATUS CaptureMinidriver::closeStream() {
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.SizeOfThisPacket = sizeof srb;
    srb.Command = SRB_CLOSE_STREAM;
    srb.StreamObject = &stream_;
    NTSTATUS st = request(&srb);
    if (NT_SUCCESS(st)) streamOpen_ = false;
    return st;
}

NTSTATUS CaptureMinidriver::shutdown() {
    stopQueueingReads();
    NTSTATUS st = STATUS_SUCCESS;
    if (streamOpen_) {
        st = setState(KSSTATE_STOP);
        NTSTATUS closed = closeStream();
        if (NT_SUCCESS(st)) st = closed;
    }
    NTSTATUS gone = disconnect();
    return NT_SUCCESS(st) ? gone : st;
}

ULONG CaptureMinidriver::imageSize() const {
    return format_.VideoInfoHeader.bmiHeader.biSizeImage;
}

CaptureMinidriver::ReadSlot* CaptureMinidriver::slotOf(const HW_STREAM_REQUEST_BLOCK* srb) {
    for (auto& s : slots_)
        if (&s->srb == srb) return s.get();
    return nullptr;
}

CaptureMinidriver::ReadSlot* CaptureMinidriver::freeSlotLocked(ULONG room) {
    if (room == 0) room = imageSize();
    for (auto& s : slots_)
        if (!s->outstanding && !s->handBack && !s->single && s->data.size() == room)
            return s.get();
    slots_.push_back(std::make_unique<ReadSlot>());
    slots_.back()->data.resize(room);
    return slots_.back().get();
}

// The slot is marked outstanding and is not in the driver's hands yet.
bool CaptureMinidriver::submitSlot(ReadSlot* slot) {
    slot->srb = HW_STREAM_REQUEST_BLOCK{};
    slot->srb.SizeOfThisPacket = sizeof slot->srb;
    slot->srb.Command = SRB_READ_DATA;
    slot->srb.StreamObject = &stream_;
    slot->srb.NumberOfBuffers = 1;
    slot->header = SRB_VIDEO_READ_HEADER{};
    slot->header.Header.Size = sizeof(KSSTREAM_HEADER);
    slot->header.Header.Data = slot->data.data();
    slot->header.Header.FrameExtent = static_cast<ULONG>(slot->data.size());
    slot->srb.CommandData.DataBufferArray = &slot->header;
    if (submit(&slot->srb)) return true;
    std::lock_guard<std::mutex> g(lock_);
    slot->outstanding = false;
    slot->handBack = false;
    return false;
}

bool CaptureMinidriver::keepReadsQueued(std::size_t count, ULONG room) {
    if (!connected_ || !streamOpen_) return false;
    std::lock_guard<std::mutex> g(lock_);
    std::size_t kept = 0;
    for (auto& s : slots_)
        if (s->handBack) ++kept;
    for (auto& s : slots_)
        if (kept < count && s->outstanding && !s->handBack) {
            s->handBack = true;
            ++kept;
        }
    while (kept < count) {
        freeSlotLocked(room)->handBack = true;
        ++kept;
    }
    queueing_ = true;
    readerStop_ = false;
    if (!reader_.joinable()) reader_ = std::thread([this] { readerLoop(); });
    arrived_.notify_all();
    return true;
}

void CaptureMinidriver::readerLoop() {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        ReadSlot* next = nullptr;
        arrived_.wait(g, [&] {
            if (readerStop_) return true;
            if (!queueing_) return false;
            for (auto& s : slots_)
                if (s->handBack && !s->outstanding) {
                    next = s.get();
                    return true;
                }
            return false;
        });
        if (readerStop_) return;
        next->outstanding = true;
        readerBusy_ = true;
        g.unlock();
        submitSlot(next);
        g.lock();
        readerBusy_ = false;
        arrived_.notify_all();
    }
}

void CaptureMinidriver::stopQueueingReads() {
    std::unique_lock<std::mutex> g(lock_);
    queueing_ = false;
    for (auto& s : slots_) s->handBack = false;
    arrived_.wait(g, [&] { return !readerBusy_; });
}

void CaptureMinidriver::stopReader() {
    {
        std::lock_guard<std::mutex> g(lock_);
        readerStop_ = true;
        queueing_ = false;
        arrived_.notify_all();
    }
    if (reader_.joinable()) reader_.join();
}

HW_STREAM_REQUEST_BLOCK* CaptureMinidriver::submitRead(ULONG room) {
    ReadSlot* slot;
    {
        std::lock_guard<std::mutex> g(lock_);
        slots_.push_back(std::make_unique<ReadSlot>());
        slot = slots_.back().get();
        slot->data.resize(room ? room : imageSize());
        slot->single = true;
        slot->outstanding = true;
    }
    submitSlot(slot);
    return &slot->srb;
}

std::size_t CaptureMinidriver::readsOutstanding() const {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<std::size_t>(std::count_if(
        slots_.begin(), slots_.end(), [](const auto& s) { return s->outstanding; }));
}

std::vector<HW_STREAM_REQUEST_BLOCK*> CaptureMinidriver::outstandingReads() const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<HW_STREAM_REQUEST_BLOCK*> out;
    for (const auto& s : slots_)
        if (s->outstanding) out.push_back(&s->srb);
    return out;
}

const HW_STREAM_REQUEST_BLOCK* CaptureMinidriver::submittingHere() {
    return tSubmitting;
}

bool CaptureMinidriver::waitFrames(std::size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> g(lock_);
    return arrived_.wait_for(g, std::chrono::milliseconds(timeoutMs),
                             [&] { return framesFilled_ >= count; });
}

std::vector<CaptureMinidriver::Frame> CaptureMinidriver::frames() const {
    std::lock_guard<std::mutex> g(lock_);
    return frames_;
}

}  // namespace host
