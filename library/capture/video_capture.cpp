// The capture client over one control channel of the camera's device
// interface. Every request is sent overlapped and waited for, so that a
// read waiting for a frame can be cancelled from stop() on another thread.
#include "library/capture/video_capture.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "pav512/ioctl.h"
#include "platform/kernel/ntstatus.h"
#include "platform/user/device_io.h"
#include "platform/user/handles.h"
#include "platform/user/setupapi.h"

namespace pavcap {
namespace {

using namespace pav512;

// What the stream interface answers a second open of its one capture
// stream (and a stream index it does not have).
constexpr NTSTATUS kStatusCameraBusy = static_cast<NTSTATUS>(0xC000020E);
constexpr std::uint32_t kMjpg = 0x47504A4D;
constexpr std::uint32_t kPavx = 0x58564150;

using pav512::fields::get16;
using pav512::fields::get32;
using pav512::fields::put16;
using pav512::fields::put32;

// A failure that says the camera (or the host serving it) went away rather
// than that the request went wrong.
bool deviceGone(DWORD error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_ACCESS_DENIED ||
           error == ERROR_INVALID_HANDLE || error == ERROR_DEV_NOT_EXIST ||
           error == ERROR_DEVICE_REMOVED || error == ERROR_DELETE_PENDING;
}

std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

// The bytes one frame of the size may take, by the stream's rules.
std::uint32_t imageSizeFor(const Format& f) {
    const std::uint32_t pixels = std::uint32_t{f.width} * f.height;
    if (f.compression == kMjpg) return 2 * pixels + 608;
    if (f.compression == kPavx) return pixels * f.bitCount / 8 + 1024;
    return pixels * f.bitCount / 8;
}

// The path of the present interface at `index`; empty past the end, with
// *error set when the host could not be asked.
std::string interfacePath(DWORD index, std::string* error) {
    HDEVINFO set = SetupDiGetClassDevsA(&kInterfaceClassGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        *error = "no driver host answers (error " + std::to_string(GetLastError()) + ")";
        return std::string();
    }
    std::string path;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceClassGuid, index, &data)) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        if (GetLastError() == ERROR_INSUFFICIENT_BUFFER && size > 0) {
            std::vector<char> memory(size + 1, 0);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(memory.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr))
                path.assign(detail->DevicePath);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
}

// One request's outcome: answered (the whole buffer came back) with the
// module status in byte 0, or the Win32 error of the call.
struct Outcome {
    bool answered = false;
    DWORD returned = 0;
    std::uint8_t moduleStatus = kModuleStatusUnanswered;
    DWORD error = ERROR_SUCCESS;
};

// What a request that came back (`ok`, `returned` bytes of an output of
// `whole`, of which `least` count) says; `buffer` holds its module status.
Outcome outcomeOf(BOOL ok, DWORD returned, DWORD whole, DWORD least, const std::uint8_t* buffer);

class ChannelCapture final : public VideoCapture {
  public:
    explicit ChannelCapture(HANDLE channel) : channel_(channel) {}
    ~ChannelCapture() override {
        stop();
        if (frameBuffer_) FreeDeviceBuffer(channel_, frameBuffer_);
        // The channel's close waits for every read still queued, and gives
        // back their buffers; their events go after it.
        CloseHandle(channel_);
        for (QueuedRead& q : queue_)
            if (q.ov.hEvent) CloseHandle(q.ov.hEvent);
    }

    std::vector<FormatInfo> formats() override;
    bool start(const Format& format) override;
    std::size_t imageSize() const override { return imageSize_.load(); }
    ReadResult read(std::span<std::uint8_t> buffer, Frame* frame) override;
    ReadResult next(Frame* frame, std::span<const std::uint8_t>* data) override;
    std::span<std::uint8_t> frameBuffer() override {
        std::lock_guard<std::mutex> g(bufferLock_);
        const std::size_t size = imageSize_.load();
        if (size != 0 && frameBufferSize_ != size) {
            if (frameBuffer_) FreeDeviceBuffer(channel_, frameBuffer_);
            frameBuffer_ = AllocateDeviceBuffer(channel_, size);
            frameBufferSize_ = frameBuffer_ ? size : 0;
        }
        return {static_cast<std::uint8_t*>(frameBuffer_), frameBufferSize_};
    }
    void stop() override;
    const std::string& error() const override { return error_; }

    bool checkVersion();

  private:
    // `least`: the shortest answer that counts (a read answers its header
    // and the image bytes it holds); 0: the whole buffer.
    // `inSize`: the bytes sent (0: the whole buffer).
    // `rest`, `restSize`: a second piece of the output after `size` bytes
    // of `buffer` (a read's data area: the caller's own buffer); `input`:
    // what is sent when it is not `buffer`.
    Outcome send(DWORD code, std::uint8_t* buffer, DWORD size, DWORD least = 0, DWORD inSize = 0,
                 std::uint8_t* rest = nullptr, DWORD restSize = 0,
                 const std::uint8_t* input = nullptr);
    void fail(std::string text) {
        std::lock_guard<std::mutex> g(errorLock_);
        error_ = std::move(text);
    }
    bool setState(std::uint32_t handle, std::uint32_t state, Outcome* out);
    void closeStream(std::uint32_t handle);
    ReadResult notAFrame(const Outcome& o, const std::uint8_t* reply);
    static void readRequest(std::uint8_t* header, std::uint32_t handle, std::size_t size);
    // What a read sends to a host that wants the whole area sent: `header`
    // and a zeroed area of `size` bytes (wholeRead_, valid until the next).
    const std::uint8_t* wholeReadOf(const std::uint8_t* header, std::size_t size);
    // What a read's outcome and answered header make of it.
    ReadResult readDone(const Outcome& o, const std::uint8_t* header, std::size_t size,
                        Frame* frame);
    // The queued reads of next(), under queueLock_: their buffers made for
    // `size` (false when no memory is left), the free ones sent, the oldest
    // waited for, and every one waited for.
    bool queueReady(std::size_t size);
    void postQueued(std::uint32_t handle, std::size_t size);
    Outcome awaitOldest(std::size_t size);
    void settleQueue();

    HANDLE channel_;
    std::mutex errorLock_;
    std::string error_;
    // start() and stop() one at a time; read() runs beside them.
    std::mutex controlLock_;
    std::atomic<std::uint32_t> handle_{0};  // 0: no stream open
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> imageSize_{0};
    // Only the reading thread touches the read's header (its data area is
    // the caller's buffer) and, for a host that wants the whole area sent,
    // the zeroed area sent in its place.
    std::uint8_t readHeader_[kStreamDataOffset] = {};
    std::vector<std::uint8_t> wholeRead_;
    // The data area of a read only comes back, so a read sends its header
    // alone; a host that wants the whole area sent is sent it from then on.
    bool headerOnlyReads_ = true;
    // frameBuffer(), made at its first call for a stream's image size (a
    // caller of next() never needs it), and let go by a start() for another
    // size.
    std::mutex bufferLock_;
    void* frameBuffer_ = nullptr;
    std::size_t frameBufferSize_ = 0;

    // next()'s reads, kept waiting in the driver: a frame that comes while
    // the caller is busy with the last finds one there, and the host takes
    // them in a few at a wake. They come back in the order they were sent,
    // a ring from oldest_. Under queueLock_, which next() holds throughout.
    // Eight go out together, with one still waiting: the host's loop wakes
    // once for every eight frames. Each frame is written into the next
    // buffer, and only its bytes are touched (a 640 x 480 frame is tens of
    // kilobytes of an area of the image size), so the ring's nine stay
    // within what the caches keep.
    static constexpr std::size_t kQueuedReads = 9;
    static constexpr std::size_t kPostedTogether = 8;
    struct QueuedRead {
        std::uint8_t header[kStreamDataOffset] = {};
        OVERLAPPED ov{};
        std::uint8_t* data = nullptr;  // queueSize_ bytes, shared with the host where it can
        std::uint32_t generation = 0;  // the stream's, when sent
        bool headerOnly = true;        // sent with its header alone
    };
    std::mutex queueLock_;
    std::array<QueuedRead, kQueuedReads> queue_{};
    std::size_t oldest_ = 0;
    std::size_t posted_ = 0;
    std::size_t queueSize_ = 0;
    // One more at every stop: what a stopped stream's reads bring back is
    // not a later stream's.
    std::atomic<std::uint32_t> generation_{0};
};

Outcome ChannelCapture::send(DWORD code, std::uint8_t* buffer, DWORD size, DWORD least,
                             DWORD inSize, std::uint8_t* rest, DWORD restSize,
                             const std::uint8_t* input) {
    Outcome o;
    buffer[0] = kModuleStatusUnanswered;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) {
        o.error = ERROR_NOT_ENOUGH_MEMORY;
        return o;
    }
    DWORD returned = 0;
    const DWORD whole = size + restSize;
    BOOL ok = DeviceIoControlSplit(channel_, code,
                                   const_cast<std::uint8_t*>(input ? input : buffer),
                                   inSize ? inSize : whole, buffer, size, rest, restSize,
                                   &returned, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(channel_, &ov, &returned, TRUE);
    o = outcomeOf(ok, returned, whole, least, buffer);
    CloseHandle(ov.hEvent);
    return o;
}

Outcome outcomeOf(BOOL ok, DWORD returned, DWORD whole, DWORD least, const std::uint8_t* buffer) {
    Outcome o;
    if (!ok) {
        o.error = GetLastError();
    } else if (returned > whole || returned < (least ? least : whole)) {
        // Only a whole answer carries a module status worth reading.
        o.error = ERROR_GEN_FAILURE;
    } else {
        o.answered = true;
        o.returned = returned;
        o.moduleStatus = buffer[0];
    }
    return o;
}

bool ChannelCapture::checkVersion() {
    std::uint8_t b[sizeof(StreamHeader)] = {};
    Outcome o = send(IOCTL_STREAM_VERSION, b, sizeof b);
    if (!o.answered) {
        fail("the camera does not answer (error " + std::to_string(o.error) + ")");
        return false;
    }
    const std::uint16_t version = get16(b, kStreamVersionOffset);
    if (o.moduleStatus != kModuleStatusSuccess || version != kInterfaceVersion) {
        fail("the driver speaks another stream interface (version " + std::to_string(version) +
             ")");
        return false;
    }
    return true;
}

std::vector<FormatInfo> ChannelCapture::formats() {
    std::vector<FormatInfo> list;
    std::uint16_t count = 1;
    for (std::uint16_t index = 0; index < count; ++index) {
        std::uint8_t b[sizeof(StreamFormatInfo)] = {};
        put16(b, offsetof(StreamFormatInfo, formatIndex), index);
        Outcome o = send(IOCTL_STREAM_FORMAT_INFO, b, sizeof b);
        if (!o.answered) {
            fail(deviceGone(o.error) ? "the camera is gone"
                                     : "format information failed (error " +
                                           std::to_string(o.error) + ")");
            return {};
        }
        count = get16(b, offsetof(StreamFormatInfo, formatCount));
        if (count == 0) break;
        if (o.moduleStatus != kModuleStatusSuccess) {
            fail("format information failed (module status " + std::to_string(o.moduleStatus) +
                 ")");
            return {};
        }
        FormatInfo f;
        f.granularityX = get16(b, offsetof(StreamFormatInfo, granularityX));
        f.granularityY = get16(b, offsetof(StreamFormatInfo, granularityY));
        f.minimumWidth = get16(b, offsetof(StreamFormatInfo, minimumWidth));
        f.minimumHeight = get16(b, offsetof(StreamFormatInfo, minimumHeight));
        f.maximumWidth = get16(b, offsetof(StreamFormatInfo, maximumWidth));
        f.maximumHeight = get16(b, offsetof(StreamFormatInfo, maximumHeight));
        f.width = get16(b, offsetof(StreamFormatInfo, width));
        f.height = get16(b, offsetof(StreamFormatInfo, height));
        f.bitCount = get16(b, offsetof(StreamFormatInfo, bitCount));
        f.compression = get32(b, offsetof(StreamFormatInfo, compression));
        f.imageSize = get32(b, offsetof(StreamFormatInfo, imageSize));
        f.frameIntervalMs = get32(b, offsetof(StreamFormatInfo, frameIntervalMs));
        list.push_back(f);
    }
    if (list.empty()) fail("the camera offers no video format");
    return list;
}

bool ChannelCapture::setState(std::uint32_t handle, std::uint32_t state, Outcome* out) {
    std::uint8_t b[sizeof(StreamStateRequest)] = {};
    put32(b, offsetof(StreamStateRequest, streamHandle), handle);
    put32(b, offsetof(StreamStateRequest, state), state);
    *out = send(IOCTL_STREAM_SET_STATE, b, sizeof b);
    return out->answered && out->moduleStatus == kModuleStatusSuccess;
}

void ChannelCapture::closeStream(std::uint32_t handle) {
    std::uint8_t b[sizeof(StreamHeader)] = {};
    put32(b, offsetof(StreamHeader, streamHandle), handle);
    send(IOCTL_STREAM_CLOSE, b, sizeof b);
}

bool ChannelCapture::start(const Format& wanted) {
    std::lock_guard<std::mutex> g(controlLock_);
    if (handle_.load() != 0) {
        fail("the stream is already running");
        return false;
    }
    const std::vector<FormatInfo> list = formats();
    if (list.empty()) return false;
    const FormatInfo* match = nullptr;
    for (const FormatInfo& f : list) {
        if (f.compression != wanted.compression) continue;
        if (wanted.compression == 0 && f.bitCount != wanted.bitCount) continue;
        match = &f;
        break;
    }
    if (!match) {
        fail("not a format the camera makes");
        return false;
    }
    Format f = wanted;
    if (f.imageSize == 0) f.imageSize = imageSizeFor(f);
    if (f.frameIntervalMs == 0) f.frameIntervalMs = match->frameIntervalMs;

    std::uint8_t b[sizeof(StreamFormatRequest)] = {};
    put16(b, offsetof(StreamFormatRequest, width), f.width);
    put16(b, offsetof(StreamFormatRequest, height), f.height);
    b[offsetof(StreamFormatRequest, bitCount)] = f.bitCount;
    put32(b, offsetof(StreamFormatRequest, compression), f.compression);
    put32(b, offsetof(StreamFormatRequest, imageSize), f.imageSize);
    put32(b, offsetof(StreamFormatRequest, frameIntervalMs), f.frameIntervalMs);
    Outcome o = send(IOCTL_STREAM_OPEN, b, sizeof b);
    if (!o.answered) {
        fail(deviceGone(o.error) ? "the camera is gone"
                                 : "the open failed (error " + std::to_string(o.error) + ")");
        return false;
    }
    if (o.moduleStatus != kModuleStatusSuccess) {
        const auto status = static_cast<NTSTATUS>(get32(b, kStreamRequestStatusOffset));
        if (o.moduleStatus == kModuleStatusOutOfRange)
            fail("not a size the camera makes");
        else if (status == kStatusCameraBusy)
            fail("camera busy");
        else
            fail("the camera could not open the stream (module status " +
                 std::to_string(o.moduleStatus) + ", status " +
                 hex(static_cast<std::uint32_t>(status)) + ")");
        return false;
    }
    const std::uint32_t handle = get32(b, offsetof(StreamHeader, streamHandle));
    if (!setState(handle, 2, &o)) {
        fail(o.answered ? "the camera could not start the video (module status " +
                              std::to_string(o.moduleStatus) + ")"
                        : std::string("the camera is gone"));
        Outcome ignored;
        setState(handle, 0, &ignored);
        closeStream(handle);
        return false;
    }
    {
        std::lock_guard<std::mutex> g(bufferLock_);
        if (frameBuffer_ && frameBufferSize_ != f.imageSize) {
            FreeDeviceBuffer(channel_, frameBuffer_);
            frameBuffer_ = nullptr;
            frameBufferSize_ = 0;
        }
        imageSize_.store(f.imageSize);
    }
    stopping_.store(false);
    handle_.store(handle);
    return true;
}

// What a read that brought no frame means to the client.
ReadResult ChannelCapture::notAFrame(const Outcome& o, const std::uint8_t* reply) {
    if (!o.answered) {
        if (deviceGone(o.error)) {
            fail("the camera is gone");
            return ReadResult::Removed;
        }
        if (o.error == ERROR_OPERATION_ABORTED) {
            if (stopping_.load()) return ReadResult::Stopped;
            // Reads are cancelled both when the stream stops under them and
            // when the camera goes: ask the device which one it was.
            std::uint8_t b[sizeof(StreamHeader)] = {};
            Outcome probe = send(IOCTL_STREAM_VERSION, b, sizeof b);
            if (!probe.answered && deviceGone(probe.error)) {
                fail("the camera is gone");
                return ReadResult::Removed;
            }
            fail("the stream was stopped");
            return ReadResult::Stopped;
        }
        fail("the read failed (error " + std::to_string(o.error) + ")");
        return ReadResult::Failed;
    }
    const auto status = static_cast<NTSTATUS>(get32(reply, kStreamRequestStatusOffset));
    if (o.moduleStatus == kModuleStatusBadStreamHandle) {
        // Closed under us: by stop(), or by an abort of user-mode video.
        fail("the stream was closed");
        return ReadResult::Stopped;
    }
    if (status == STATUS_TIMEOUT) {
        fail("the camera sent no frame in time");
        return ReadResult::TimedOut;
    }
    if (status == STATUS_CANCELLED || stopping_.load()) {
        fail("the stream was stopped");
        return ReadResult::Stopped;
    }
    fail("the read failed (module status " + std::to_string(o.moduleStatus) + ", status " +
         hex(static_cast<std::uint32_t>(status)) + ")");
    return ReadResult::Failed;
}

const std::uint8_t* ChannelCapture::wholeReadOf(const std::uint8_t* header, std::size_t size) {
    if (wholeRead_.size() != kStreamDataOffset + size)
        wholeRead_.assign(kStreamDataOffset + size, 0);
    std::memcpy(wholeRead_.data(), header, kStreamDataOffset);
    return wholeRead_.data();
}

void ChannelCapture::readRequest(std::uint8_t* header, std::uint32_t handle, std::size_t size) {
    std::memset(header, 0, kStreamDataOffset);
    put32(header, offsetof(StreamReadRequest, streamHandle), handle);
    put32(header, offsetof(StreamReadRequest, dataLength), static_cast<std::uint32_t>(size));
}

ReadResult ChannelCapture::readDone(const Outcome& o, const std::uint8_t* header, std::size_t size,
                                    Frame* frame) {
    if (!o.answered || o.moduleStatus != kModuleStatusSuccess) return notAFrame(o, header);
    const auto status = static_cast<NTSTATUS>(get32(header, kStreamRequestStatusOffset));
    if (status == STATUS_TIMEOUT) return notAFrame(o, header);
    // No more than the image size, and no more than came back.
    frame->bytes = std::min<std::size_t>(
        {get32(header, offsetof(StreamReadReply, dataUsed)), size, o.returned - kStreamDataOffset});
    frame->pictureNumber =
        std::uint64_t{get32(header, offsetof(StreamReadReply, pictureNumberHigh))} << 32 |
        get32(header, offsetof(StreamReadReply, pictureNumberLow));
    frame->dropCount = std::uint64_t{get32(header, offsetof(StreamReadReply, dropCountHigh))}
                           << 32 |
                       get32(header, offsetof(StreamReadReply, dropCountLow));
    frame->status = static_cast<std::uint32_t>(status);
    return ReadResult::Frame;
}

ReadResult ChannelCapture::read(std::span<std::uint8_t> buffer, Frame* frame) {
    const std::uint32_t handle = handle_.load();
    if (handle == 0 || stopping_.load()) {
        fail("the stream is not running");
        return ReadResult::Stopped;
    }
    const std::size_t size = imageSize_.load();
    if (buffer.size() < size) {
        fail("the buffer is smaller than the stream's image size");
        return ReadResult::Failed;
    }
    std::uint8_t* b = readHeader_;
    readRequest(b, handle, size);
    // The answer's header lands in readHeader_ and the frame's bytes
    // straight in the caller's buffer.
    const auto area = static_cast<DWORD>(size);
    Outcome o;
    if (headerOnlyReads_) {
        o = send(IOCTL_STREAM_READ, b, kStreamDataOffset, kStreamDataOffset, kStreamDataOffset,
                 buffer.data(), area);
        if (!o.answered && o.error == ERROR_INVALID_PARAMETER) headerOnlyReads_ = false;
    }
    if (!headerOnlyReads_) {
        readRequest(b, handle, size);
        o = send(IOCTL_STREAM_READ, b, kStreamDataOffset, kStreamDataOffset, 0, buffer.data(), area,
                 wholeReadOf(b, size));
    }
    Frame ignored;
    return readDone(o, b, size, frame ? frame : &ignored);
}

bool ChannelCapture::queueReady(std::size_t size) {
    if (queueSize_ == size) return true;
    settleQueue();
    for (QueuedRead& q : queue_) {
        if (q.data) FreeDeviceBuffer(channel_, q.data);
        q.data = nullptr;
        if (!q.ov.hEvent) q.ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    queueSize_ = 0;
    for (QueuedRead& q : queue_) {
        q.data =
            static_cast<std::uint8_t*>(AllocateDeviceBuffer(channel_, static_cast<DWORD>(size)));
        if (!q.data || !q.ov.hEvent) {
            fail("no memory is left for the frames");
            return false;
        }
    }
    queueSize_ = size;
    oldest_ = 0;
    return true;
}

void ChannelCapture::postQueued(std::uint32_t handle, std::size_t size) {
    const std::uint32_t generation = generation_.load();
    const auto area = static_cast<DWORD>(size);
    // Sent together: the host takes them in at one wake.
    DeviceIoControlHold(channel_, TRUE);
    while (posted_ < kQueuedReads) {
        QueuedRead& q = queue_[(oldest_ + posted_) % kQueuedReads];
        readRequest(q.header, handle, size);
        q.generation = generation;
        q.headerOnly = headerOnlyReads_;
        DWORD returned = 0;
        if (q.headerOnly) {
            DeviceIoControlParts(channel_, IOCTL_STREAM_READ, q.header, kStreamDataOffset, nullptr,
                                 0, q.header, kStreamDataOffset, q.data, area, &returned, &q.ov);
        } else {
            DeviceIoControlParts(channel_, IOCTL_STREAM_READ, wholeReadOf(q.header, size),
                                 static_cast<DWORD>(kStreamDataOffset + size), nullptr, 0, q.header,
                                 kStreamDataOffset, q.data, area, &returned, &q.ov);
        }
        // Whether it is pending or came back at once, its outcome is the
        // OVERLAPPED's to give.
        ++posted_;
    }
    DeviceIoControlHold(channel_, FALSE);
}

Outcome ChannelCapture::awaitOldest(std::size_t size) {
    QueuedRead& q = queue_[oldest_];
    DWORD returned = 0;
    const BOOL ok = GetOverlappedResult(channel_, &q.ov, &returned, TRUE);
    oldest_ = (oldest_ + 1) % kQueuedReads;
    --posted_;
    return outcomeOf(ok, returned, static_cast<DWORD>(kStreamDataOffset + size), kStreamDataOffset,
                     q.header);
}

void ChannelCapture::settleQueue() {
    // Only reads of a stream that is stopping, closed or gone: each comes
    // back soon, cancelled or failed.
    while (posted_ > 0) awaitOldest(queueSize_);
}

ReadResult ChannelCapture::next(Frame* frame, std::span<const std::uint8_t>* data) {
    std::lock_guard<std::mutex> g(queueLock_);
    Frame ignored;
    if (!frame) frame = &ignored;
    if (data) *data = {};
    for (;;) {
        const std::uint32_t handle = handle_.load();
        if (handle == 0 || stopping_.load()) {
            settleQueue();
            fail("the stream is not running");
            return ReadResult::Stopped;
        }
        const std::size_t size = imageSize_.load();
        if (!queueReady(size)) return ReadResult::Failed;
        // The buffer lent by the last call is free again. Reads go out a
        // few at a time, always with some still waiting in the driver.
        if (posted_ == 0 || kQueuedReads - posted_ >= kPostedTogether) postQueued(handle, size);
        const QueuedRead& q = queue_[oldest_];
        const std::uint32_t generation = q.generation;
        const bool headerOnly = q.headerOnly;
        const Outcome o = awaitOldest(size);
        // A read of a stream stopped since, or refused for the way it was
        // sent (the host then wants the whole area sent; the reads sent
        // from then on go out so), is not the caller's.
        if (generation != generation_.load()) continue;
        if (!o.answered && o.error == ERROR_INVALID_PARAMETER && headerOnly) {
            headerOnlyReads_ = false;
            continue;
        }
        const ReadResult r = readDone(o, q.header, size, frame);
        if (r == ReadResult::Frame) {
            if (data) *data = {q.data, frame->bytes};
        } else if (r == ReadResult::Stopped || r == ReadResult::Removed) {
            settleQueue();
        }
        return r;
    }
}

void ChannelCapture::stop() {
    std::lock_guard<std::mutex> g(controlLock_);
    stopping_.store(true);
    const std::uint32_t handle = handle_.exchange(0);
    if (handle == 0) return;
    generation_.fetch_add(1);
    // A read waiting for a frame ends at once; one that slips in after this
    // meets a stream that is stopping (its queued reads are cancelled) or
    // closed (a bad handle).
    CancelIo(channel_);
    Outcome o;
    setState(handle, 1, &o);
    setState(handle, 0, &o);
    closeStream(handle);
}

}  // namespace

std::unique_ptr<VideoCapture> VideoCapture::open(int camera, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    error->clear();
    if (camera < 0) {
        *error = "no such camera";
        return nullptr;
    }
    const DWORD index = camera == 0 ? 0 : static_cast<DWORD>(camera - 1);
    const std::string path = interfacePath(index, error);
    if (path.empty()) {
        if (error->empty()) *error = "no such camera";
        return nullptr;
    }
    const std::string name = path + kConnectSuffix;
    HANDLE channel = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    if (channel == INVALID_HANDLE_VALUE || channel == nullptr) {
        *error = "the camera could not be opened (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    auto capture = std::make_unique<ChannelCapture>(channel);
    if (!capture->checkVersion()) {
        *error = capture->error();
        return nullptr;
    }
    return capture;
}

}  // namespace pavcap
