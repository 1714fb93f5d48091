// The camera object's command set, its users (acquire, open, close, start,
// stop), mode selection, the video and interrupt data paths and bulk
// transfers. The start-up and the firmware patch live in camera_startup.cpp.
#include "driver/camera/camera.h"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "driver/core/device_context.h"
#include "driver/core/spin_guard.h"

const GUID kDevicePropertySet = {
    0x2BBD8342, 0x6AA2, 0x11D3, {0xA0, 0x76, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};
const GUID kMjpgSubFormat = {
    0x47504A4D, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

namespace {

constexpr ULONG kOpenReadyPolls = 50;
constexpr ULONG kOpenReadyPauseMs = 10;
constexpr ULONG kBulkTransferWaitMs = 5000;
// A frame of the largest picture the chip can be asked for still fits a
// 32-bit frame buffer size; anything beyond is not a picture size.
constexpr ULONG kMaxDimension = 4096;

// An event used as a mutex, held for a scope.
class EventMutex {
  public:
    explicit EventMutex(KEVENT& event) : event_(event) {
        KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr);
    }
    ~EventMutex() { KeSetEvent(&event_, IO_NO_INCREMENT, FALSE); }
    EventMutex(const EventMutex&) = delete;
    EventMutex& operator=(const EventMutex&) = delete;

  private:
    KEVENT& event_;
};

void pauseMs(ULONG ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

USHORT registerValue(UCHAR space, UCHAR reg) {
    return static_cast<USHORT>((reg << 8) | (space & 7));
}

USHORT memoryValue(UCHAR memory, UCHAR item = 0) {
    return static_cast<USHORT>((memory << 8) | item);
}

void putBe32(UCHAR* p, ULONG v) {
    p[0] = static_cast<UCHAR>(v >> 24);
    p[1] = static_cast<UCHAR>(v >> 16);
    p[2] = static_cast<UCHAR>(v >> 8);
    p[3] = static_cast<UCHAR>(v);
}

ULONG getBe32(const UCHAR* p) {
    return (ULONG{p[0]} << 24) | (ULONG{p[1]} << 16) | (ULONG{p[2]} << 8) | p[3];
}

NTSTATUS vendorOut(DeviceContext* d, UCHAR request, USHORT value, const void* data, ULONG length) {
    ULONG moved = length;
    return USBIF_VendorRequest(d, false, request, value, const_cast<void*>(data), &moved);
}

// An in request whose answer has a fixed size: a shorter answer is refused,
// so no caller ever sees bytes the camera did not send.
NTSTATUS vendorInExact(DeviceContext* d, UCHAR request, USHORT value, void* data, ULONG length) {
    std::memset(data, 0, length);
    ULONG moved = length;
    NTSTATUS status = USBIF_VendorRequest(d, true, request, value, data, &moved);
    if (!NT_SUCCESS(status)) moved = 0;
    if (moved < length) std::memset(static_cast<UCHAR*>(data) + moved, 0, length - moved);
    if (!NT_SUCCESS(status)) return status;
    return moved == length ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void memoryResultAfterFailure(DeviceContext* d, UCHAR memory, NTSTATUS status,
                              CameraMemoryResult* result) {
    if (result == nullptr) return;
    *result = CameraMemoryResult{};
    if (!NT_SUCCESS(status)) Camera_MemoryResult(d, memory, result);
}

NTSTATUS memoryCommand(DeviceContext* d, UCHAR request, UCHAR memory, UCHAR item, const UCHAR* data,
                       ULONG length) {
    return vendorOut(d, request, memoryValue(memory, item), data, length);
}

// A memory command whose only parameter is an object number.
NTSTATUS objectCommand(DeviceContext* d, UCHAR request, UCHAR memory, ULONG object) {
    UCHAR b[4];
    putBe32(b, object);
    return memoryCommand(d, request, memory, 0, b, 4);
}

void raiseCameraEvent(DeviceContext* d, ULONG identifier) {
    d->watches.signal(kCameraEventSet, identifier);
}

void raiseInputEvent(DeviceContext* d, ULONG identifier) {
    d->watches.signal(kInputEventSet, identifier);
}

void stamp(DeviceContext* d) {
    d->camera.lastActivityMs.store(tickMilliseconds(d));
}

// The sum of the bytes, modulo 65536: the isochronous packets' checksum.
// Every packet of the video goes through it, so it takes 16 bytes a step
// where the processor can (their sum against zero is one instruction).
USHORT byteSum(const UCHAR* data, ULONG length) {
    std::uint64_t sum = 0;
    ULONG i = 0;
#if defined(__SSE2__) && defined(__x86_64__)
    const __m128i zero = _mm_setzero_si128();
    __m128i wide = zero;
    for (; i + 16 <= length; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        wide = _mm_add_epi64(wide, _mm_sad_epu8(bytes, zero));
    }
    sum = static_cast<std::uint64_t>(_mm_cvtsi128_si64(wide)) +
          static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(wide, wide)));
#endif
    for (; i < length; ++i) sum += data[i];
    return static_cast<USHORT>(sum & 0xFFFF);
}

// A call of the frame callback, counted so that Camera_Stop can wait for it.
// The count goes up before the callback is read: a stop that cleared the
// callback and then saw no call in progress is never followed by one.
class FrameCall {
  public:
    explicit FrameCall(CameraState& c) : c_(c) {
        c_.frameCalls.fetch_add(1);
        callback_ = c_.frameCallback.load();
    }
    ~FrameCall() { c_.frameCalls.fetch_sub(1); }
    FrameCall(const FrameCall&) = delete;
    FrameCall& operator=(const FrameCall&) = delete;
    CameraFrameRoutine callback() const { return callback_; }

  private:
    CameraState& c_;
    CameraFrameRoutine callback_;
};

void deliver(DeviceContext* d, const UCHAR* data, ULONG length, bool bad) {
    if (length == 0 && !bad) return;
    FrameCall call(d->camera);
    if (CameraFrameRoutine callback = call.callback()) callback(d, data, bad ? 0 : length);
}

}  // namespace

// ---------------------------------------------------------------------------
// Command set

NTSTATUS Camera_WriteRegisters(DeviceContext* device, UCHAR space, UCHAR firstRegister,
                               const UCHAR* values, ULONG count) {
    return vendorOut(device, kCamWriteRegisters, registerValue(space, firstRegister), values,
                     count);
}

NTSTATUS Camera_ReadRegisters(DeviceContext* device, UCHAR space, UCHAR firstRegister,
                              UCHAR* values, ULONG count) {
    return vendorInExact(device, kCamReadRegisters, registerValue(space, firstRegister), values,
                         count);
}

NTSTATUS Camera_WriteRegister(DeviceContext* device, UCHAR space, UCHAR reg, UCHAR value) {
    return Camera_WriteRegisters(device, space, reg, &value, 1);
}

NTSTATUS Camera_ReadRegister(DeviceContext* device, UCHAR space, UCHAR reg, UCHAR* value) {
    return Camera_ReadRegisters(device, space, reg, value, 1);
}

NTSTATUS Camera_WriteTable(DeviceContext* device, UCHAR space, const UCHAR* pairs,
                           ULONG pairCount) {
    return vendorOut(device, kCamWriteRegisters,
                     static_cast<USHORT>((space & 7) | kCameraTableForm), pairs, pairCount * 2);
}

NTSTATUS Camera_ReadModifyWrite(DeviceContext* device, UCHAR space, UCHAR reg, UCHAR andMask,
                                UCHAR orValue) {
    UCHAR value = 0;
    NTSTATUS status = Camera_ReadRegister(device, space, reg, &value);
    if (!NT_SUCCESS(status)) return status;
    if (andMask != 0) value &= andMask;
    if (orValue != 0) value |= orValue;
    return Camera_WriteRegister(device, space, reg, value);
}

NTSTATUS Camera_ReadInformation(DeviceContext* device, UCHAR* block22) {
    return vendorInExact(device, kCamInformation, 0, block22, kInformationBlockLength);
}

NTSTATUS Camera_SendPatchHeader(DeviceContext* device, const UCHAR* header10) {
    return vendorOut(device, kCamPatchHeader, 0, header10, kPatchHeaderLength);
}

NTSTATUS Camera_CurrentMemory(DeviceContext* device, UCHAR* memory) {
    return vendorInExact(device, kCamCurrentMemory, 0, memory, 1);
}

NTSTATUS Camera_StorageFigure(DeviceContext* device, UCHAR memory, UCHAR item, ULONG* value) {
    UCHAR b[4];
    NTSTATUS status = vendorInExact(device, kCamStorageFigure, memoryValue(memory, item), b, 4);
    *value = NT_SUCCESS(status) ? getBe32(b) : 0;
    return status;
}

NTSTATUS Camera_ObjectCount(DeviceContext* device, UCHAR memory, ULONG* count) {
    UCHAR b[4];
    NTSTATUS status = vendorInExact(device, kCamObjectCount, memoryValue(memory), b, 4);
    *count = NT_SUCCESS(status) ? getBe32(b) : 0;
    return status;
}

NTSTATUS Camera_MemoryResult(DeviceContext* device, UCHAR memory, CameraMemoryResult* result) {
    UCHAR b[2];
    NTSTATUS status = vendorInExact(device, kCamMemoryResult, memoryValue(memory), b, 2);
    *result = CameraMemoryResult{};
    if (NT_SUCCESS(status)) {
        result->result = b[0];
        result->running = b[1] == 0xFF;
        result->valid = true;
    }
    return status;
}

NTSTATUS Camera_EraseMemory(DeviceContext* device, UCHAR memory) {
    return memoryCommand(device, kCamEraseMemory, memory, 0, nullptr, 0);
}

NTSTATUS Camera_PrepareObjectTable(DeviceContext* device, UCHAR memory,
                                   CameraMemoryResult* result) {
    NTSTATUS status = memoryCommand(device, kCamPrepareTable, memory, 0, nullptr, 0);
    memoryResultAfterFailure(device, memory, status, result);
    return status;
}

NTSTATUS Camera_DeleteObject(DeviceContext* device, UCHAR memory, ULONG object) {
    return objectCommand(device, kCamDeleteObject, memory, object);
}

NTSTATUS Camera_OpenObject(DeviceContext* device, UCHAR memory, ULONG object,
                           CameraMemoryResult* result) {
    NTSTATUS status = objectCommand(device, kCamOpenObject, memory, object);
    CameraMemoryResult answer;
    NTSTATUS read = Camera_MemoryResult(device, memory, &answer);
    if (result) *result = answer;
    return NT_SUCCESS(status) ? read : status;
}

NTSTATUS Camera_ReadItem(DeviceContext* device, UCHAR memory, UCHAR item, ULONG object,
                         ULONG length, CameraMemoryResult* result) {
    UCHAR b[8];
    putBe32(b, object);
    putBe32(b + 4, length);
    NTSTATUS status = memoryCommand(device, kCamReadItem, memory, item, b, 8);
    memoryResultAfterFailure(device, memory, status, result);
    return status;
}

NTSTATUS Camera_ReadItemAsync(DeviceContext* device, UCHAR memory, UCHAR item, ULONG object,
                              ULONG length, UCHAR (&data)[8], UsbVendorDone done, PVOID context,
                              UsbVendorRequest* volatile* inFlight) {
    putBe32(data, object);
    putBe32(data + 4, length);
    ULONG moved = sizeof data;
    return USBIF_VendorRequest(device, false, kCamReadItem, memoryValue(memory, item), data, &moved,
                               done, context, inFlight);
}

NTSTATUS Camera_PrepareStorageDescription(DeviceContext* device, UCHAR memory) {
    const UCHAR b[2] = {0x00, 0x0C};
    return memoryCommand(device, kCamPrepareStorage, memory, 0, b, 2);
}

NTSTATUS Camera_CloseObject(DeviceContext* device, UCHAR memory, ULONG object,
                            CameraMemoryResult* result) {
    NTSTATUS status = objectCommand(device, kCamCloseObject, memory, object);
    memoryResultAfterFailure(device, memory, status, result);
    return status;
}

NTSTATUS Camera_PrepareDirectoryEntry(DeviceContext* device, UCHAR memory, ULONG object,
                                      CameraMemoryResult* result) {
    UCHAR b[6];
    putBe32(b, object);
    b[4] = 0x00;
    b[5] = 0x56;
    NTSTATUS status = memoryCommand(device, kCamPrepareEntry, memory, 0, b, 6);
    memoryResultAfterFailure(device, memory, status, result);
    return status;
}

NTSTATUS Camera_WriteDataBlock(DeviceContext* device, USHORT item, const UCHAR* data,
                               ULONG length) {
    return vendorOut(device, kCamWriteBlock, item, data, length);
}

NTSTATUS Camera_ReadDataBlock(DeviceContext* device, USHORT item, UCHAR* data, ULONG* length) {
    ULONG room = *length;
    NTSTATUS status = USBIF_VendorRequest(device, true, kCamReadBlock, item, data, length);
    if (!NT_SUCCESS(status) || *length > room) *length = NT_SUCCESS(status) ? room : 0;
    // Past what the camera sent the caller finds zeroes.
    std::memset(data + *length, 0, room - *length);
    return status;
}

// ---------------------------------------------------------------------------
// Users

NTSTATUS Camera_Acquire(DeviceContext* device, ULONG) {
    CameraState& c = device->camera;
    EventMutex lock(c.cameraLock);
    if (InterlockedIncrement(&c.acquireCount) == 1) return STATUS_SUCCESS;
    InterlockedDecrement(&c.acquireCount);
    return STATUS_DEVICE_NOT_READY;
}

void Camera_Release(DeviceContext* device) {
    CameraState& c = device->camera;
    // A release without an acquire must not let two users in later.
    if (InterlockedDecrement(&c.acquireCount) < 0) InterlockedIncrement(&c.acquireCount);
}

NTSTATUS Camera_Open(DeviceContext* device, ULONG width, ULONG height, ULONG* frameBufferSize) {
    CameraState& c = device->camera;
    if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension)
        return STATUS_INVALID_PARAMETER;
    EventMutex lock(c.cameraLock);
    if (frameBufferSize) *frameBufferSize = 2 * width * height + 608;
    RegisterTables tables;
    if (!buildRegisterTables(c.sensorType, width, height, &tables)) return STATUS_UNSUCCESSFUL;
    NTSTATUS status =
        Camera_WriteRegister(device, CAMERAACCESS_ASIC, kRegPowerMode, kPowerVideoRunning);
    if (!NT_SUCCESS(status)) return status;
    bool ready = false;
    for (ULONG i = 0; i < kOpenReadyPolls && !ready; ++i) {
        pauseMs(kOpenReadyPauseMs);
        UCHAR value = 0;
        status = Camera_ReadRegister(device, CAMERAACCESS_VP, kRegStatus, &value);
        if (!NT_SUCCESS(status)) return status;
        ready = (value & kSensorReady) != 0;
    }
    if (!ready) return STATUS_UNSUCCESSFUL;
    status = Camera_WriteTable(device, CAMERAACCESS_VP, tables.videoProcessor,
                               sizeof tables.videoProcessor / 2);
    if (!NT_SUCCESS(status)) return status;
    status = Camera_WriteTable(device, CAMERAACCESS_VC, tables.sensor, sizeof tables.sensor / 2);
    if (!NT_SUCCESS(status)) return status;
    status = Camera_WriteRegister(device, CAMERAACCESS_ASIC, kRegTablesDone, 0);
    if (!NT_SUCCESS(status)) return status;
    ULONG size[2] = {width, height};
    if (PropertyRequestHook request = device->propertyRequest.load()) {
        ULONG actual = 0;
        request(device, &kDevicePropertySet, kPropertyImageSize, true, size, sizeof size,
                sizeof size, &actual);
    }
    c.width = width;
    c.height = height;
    c.openState = 1;
    if (CameraApplyPropertiesHook apply = c.hooks.applyProperties.load()) apply(device);
    return STATUS_SUCCESS;
}

NTSTATUS Camera_Close(DeviceContext* device) {
    CameraState& c = device->camera;
    EventMutex lock(c.cameraLock);
    c.openState = 0;
    NTSTATUS mode = Camera_SetMode(device, 0);
    NTSTATUS power = Camera_WriteRegister(device, CAMERAACCESS_ASIC, kRegPowerMode, kPowerIdle);
    return NT_SUCCESS(mode) ? power : mode;
}

NTSTATUS Camera_Start(DeviceContext* device, CameraFrameRoutine callback) {
    CameraState& c = device->camera;
    EventMutex lock(c.cameraLock);
    // A mode change puts the routine it found back when it is done; it must
    // not put back one that was dropped or replaced meanwhile.
    EventMutex mode(c.modeLock);
    c.frameCallback.store(callback);
    stamp(device);
    raiseCameraEvent(device, kCameraEventVideoStarted);
    return STATUS_SUCCESS;
}

NTSTATUS Camera_Stop(DeviceContext* device) {
    CameraState& c = device->camera;
    EventMutex lock(c.cameraLock);
    EventMutex mode(c.modeLock);
    raiseCameraEvent(device, kCameraEventVideoStopped);
    c.frameCallback.store(nullptr);
    // Deliveries already under way (a completion, the tick) finish before
    // the frame manager takes its buffers back.
    while (c.frameCalls.load() != 0) {
        LARGE_INTEGER halfMs;
        halfMs.QuadPart = -5000;
        KeDelayExecutionThread(KernelMode, FALSE, &halfMs);
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Mode selection

namespace {

// The video stream's reset routine. A recovery that re-selects the setting
// may have had to fall back to a lower one: the packet size (and with it the
// checksum rule), the isochronous mode and the transfer mode register follow
// the setting the video now really runs at.
void moveVideoToBulk(DeviceContext* device, PVOID, PVOID);

void videoStreamReset(DeviceContext* device, ULONG phase) {
    CameraState& c = device->camera;
    if (phase != 0) return;
    LONG now = device->usbif.currentAlternate;
    if (now < 0 || now >= static_cast<LONG>(kAlternateCount) || now == c.alternate.load()) return;
    c.alternate.store(now);
    c.packetSize.store(kPacketSizes[now]);
    c.isochronousMode.store(now >= 2);
    if (now != 0)
        Camera_ReadModifyWrite(device, CAMERAACCESS_ASIC, kRegTransferMode, 0, now == 1 ? 6 : 5);
    // At setting 1 the video comes on the bulk-in pipe, and the isochronous
    // stream has no pipe to restart on. The recovery holds the stream locks
    // here, so the switch runs after it, on the worker.
    if (now == 1) workerQueueReserved(device, &c.bulkFallback, moveVideoToBulk, nullptr, nullptr);
}

// Runs the video on the bulk-in stream once a recovery has left the camera at
// setting 1, as a mode change to 1 would have: the isochronous stream is
// stopped for good (the stall check would otherwise keep re-selecting the
// setting under the bulk video), the bulk-in stream started with the video
// routine.
void moveVideoToBulk(DeviceContext* device, PVOID, PVOID) {
    CameraState& c = device->camera;
    EventMutex lock(c.modeLock);
    // A mode change since has chosen the pipes itself, a removal has taken
    // the streams, or the owner has stopped the isochronous video.
    if (c.alternate.load() != 1 || device->usbif.currentAlternate != 1) return;
    if (c.isochronous == nullptr || c.bulkIn == nullptr || !ReadAcquire(&c.isochronous->running))
        return;
    CameraFrameRoutine saved = c.frameCallback.exchange(nullptr);
    USBSTRM_Stop(c.isochronous, false);
    USBSTRM_Start(c.bulkIn, 0, Camera_VideoData, nullptr, videoStreamReset);
    stamp(device);
    c.frameCallback.store(saved);
}

}  // namespace

NTSTATUS Camera_SetMode(DeviceContext* device, LONG mode) {
    CameraState& c = device->camera;
    if (mode < 0 || mode >= static_cast<LONG>(kAlternateCount)) return STATUS_INVALID_PARAMETER;
    EventMutex lock(c.modeLock);
    // No video reaches the frame manager while the pipes change under it.
    CameraFrameRoutine saved = c.frameCallback.exchange(nullptr);
    const LONG iface = device->usbif.interfaceNumber;
    NTSTATUS status = STATUS_SUCCESS;
    if (device->usbif.currentAlternate != 0) {
        if (c.interrupt) USBSTRM_Stop(c.interrupt, false);
        if (device->usbif.currentAlternate == 1) {
            if (c.bulkIn) USBSTRM_Stop(c.bulkIn, false);
            if (c.bulkOut) USBSTRM_Stop(c.bulkOut, false);
        } else if (c.isochronous) {
            USBSTRM_Stop(c.isochronous, false);
        }
        LONG idle = 0;
        status = USBIF_SetCameraAlternate(device, iface, 0, &idle);
    }
    LONG selected = 0;
    if (NT_SUCCESS(status) && mode != 0) {
        status = USBIF_SetCameraAlternate(device, iface, mode, &selected);
        // Ending at setting 0 means the bus had no bandwidth for video.
        if (NT_SUCCESS(status) && selected == 0) status = STATUS_IO_DEVICE_ERROR;
    }
    if (!NT_SUCCESS(status)) selected = 0;
    c.alternate.store(selected);
    c.packetSize.store(kPacketSizes[selected]);
    c.isochronousMode.store(selected >= 2);
    if (NT_SUCCESS(status)) {
        // The transfer mode follows the pipe that really carries the video:
        // a fall-back from an isochronous setting to 1 is bulk video.
        UCHAR transfer = selected == 0 ? 0 : (selected == 1 ? 6 : 5);
        status = Camera_ReadModifyWrite(device, CAMERAACCESS_ASIC, kRegTransferMode, 0, transfer);
        if (NT_SUCCESS(status) && selected != 0) {
            UsbStream* video = selected >= 2 ? c.isochronous : c.bulkIn;
            if (video)
                status = USBSTRM_Start(video, 0, Camera_VideoData, nullptr, videoStreamReset);
            if (NT_SUCCESS(status) && c.interrupt)
                status = USBSTRM_Start(c.interrupt, 0, Camera_InterruptMessage, nullptr, nullptr);
        }
    }
    stamp(device);
    c.frameCallback.store(saved);
    return status;
}

// ---------------------------------------------------------------------------
// Data paths

void Camera_VideoData(DeviceContext* device, PUCHAR data, ULONG length) {
    CameraState& c = device->camera;
    stamp(device);
    if (!c.isochronousMode.load()) {
        // Bulk video carries no checksum. A zero-length transfer carries no
        // data either, and must not read as a bad packet that drops the frame.
        deliver(device, data, length, false);
        return;
    }
    if (length < 2) return;  // delivered as empty: nothing to hand on
    const ULONG payload = length - 2;
    const USHORT sum = byteSum(data, payload);
    const USHORT carried = static_cast<USHORT>(data[payload] | (data[payload + 1] << 8));
    if (sum == carried) {
        deliver(device, data, payload, false);
    } else if (length + 2 == c.packetSize.load() || c.acceptBadChecksums.load()) {
        deliver(device, data, length, false);
    } else {
        deliver(device, data, 0, true);
    }
}

void Camera_InterruptMessage(DeviceContext* device, PUCHAR data, ULONG length) {
    CameraState& c = device->camera;
    // The camera is not trusted to send whole messages: a message too short
    // for the fields its type uses is ignored.
    if (length < 1) return;
    switch (data[0]) {
        case 1:
        case 4:
            if (length >= 3) c.ready.store(data[2] == 1);
            break;
        case 2: {
            if (length < 6) break;
            const UCHAR changedLow = data[2], changedHigh = data[3];
            const UCHAR stateLow = data[4], stateHigh = data[5];
            for (ULONG i = 0; i < 8; ++i) {
                if (!(changedLow & (1u << i))) continue;
                if (stateLow & (1u << i)) {
                    raiseInputEvent(device, i);
                    raiseInputEvent(device, 16 + i);
                } else {
                    raiseInputEvent(device, 32 + i);
                    raiseInputEvent(device, 24 + i);
                }
            }
            for (ULONG i = 0; i < 8; ++i) {
                if (!(changedHigh & (1u << i))) continue;
                raiseInputEvent(device, (stateHigh & (1u << i)) ? 8 + i : 40 + i);
            }
            c.inputState.store(static_cast<USHORT>((stateHigh << 8) | stateLow));
            break;
        }
        case 3:
            if (length < 3) break;
            if (data[2] == 1) raiseInputEvent(device, 48);
            if (data[2] == 2) raiseInputEvent(device, 50);
            if (data[2] == 4) raiseInputEvent(device, 49);
            break;
        case 5:
            if (length < 3) break;
            c.message5.store(data[2] == 1);
            c.message5Seen.store(true);
            break;
        default:
            break;
    }
}

void Camera_VideoStallCheck(DeviceContext* device, ULONG nowMs) {
    CameraState& c = device->camera;
    FrameCall call(c);
    CameraFrameRoutine callback = call.callback();
    if (callback == nullptr) return;
    if (nowMs - c.lastActivityMs.load() <= kVideoStallMs) return;
    c.lastActivityMs.store(nowMs);
    raiseCameraEvent(device, kCameraEventStalled);
    callback(device, nullptr, 0);
}

// ---------------------------------------------------------------------------
// MJPG frames

bool Camera_FrameEnd(ULONG, const UCHAR* fill, ULONG fillPosition, ULONG rawFrameSize) {
    if (fill == nullptr || fillPosition < 2 || fillPosition > rawFrameSize) return false;
    return fill[fillPosition - 2] == 0xFF && fill[fillPosition - 1] == 0xD9;
}

bool Camera_FrameImage(const UCHAR* raw, ULONG rawLength, ULONG imageSize, const UCHAR** image,
                       ULONG* imageLength) {
    if (image) *image = nullptr;
    if (imageLength) *imageLength = 0;
    if (raw == nullptr || rawLength >= imageSize) return false;
    ULONG skip;
    if (rawLength >= 2 && raw[0] == 0xFF && raw[1] == 0xD8)
        skip = 0;
    else if (rawLength >= 3 && raw[0] == 0xD9 && raw[1] == 0xFF && raw[2] == 0xD8)
        skip = 1;  // a byte of the frame before, ahead of the start marker
    else
        return false;
    if (image) *image = raw + skip;
    if (imageLength) *imageLength = rawLength - skip;
    return true;
}

// ---------------------------------------------------------------------------
// Bulk transfers

namespace {

bool hasMarker(const UCHAR* buffer, ULONG length) {
    return length >= 64 && buffer[0] == 0xED && buffer[1] == 0x15 && buffer[62] == 0xED &&
           buffer[63] == 0x15;
}

void bulkData(DeviceContext* device, PUCHAR data, ULONG length) {
    CameraBulkTransfer& b = device->camera.bulk;
    SpinGuard g(b.lock);
    if (b.buffer == nullptr) return;
    ULONG n = length;
    if (n > b.toConfirm) {
        b.result = kBulkResultTooLong;
        n = b.toConfirm;
    } else if (n == b.toConfirm) {
        b.result = kBulkResultOk;
    }
    if (b.in && n > 0) {
        std::memcpy(b.buffer + b.offset, data, n);
        b.offset += n;
    }
    b.toConfirm -= n;
    if (b.toConfirm != 0) return;
    if (b.in && hasMarker(b.buffer, b.length)) b.result = kBulkResultMarker;
    b.finished = true;
    b.buffer = nullptr;
    KeSetEvent(&b.done, IO_NO_INCREMENT, FALSE);
}

ULONG bulkFill(DeviceContext* device, PUCHAR buffer, ULONG length) {
    CameraBulkTransfer& b = device->camera.bulk;
    SpinGuard g(b.lock);
    if (b.buffer == nullptr || b.in) return 0;
    ULONG n = length < b.toHand ? length : b.toHand;
    std::memcpy(buffer, b.buffer + b.offset, n);
    b.offset += n;
    b.toHand -= n;
    return n;
}

// Forgets the transfer; the caller's buffer is not touched afterwards.
void bulkClear(CameraBulkTransfer& b) {
    SpinGuard g(b.lock);
    b.buffer = nullptr;
    b.toHand = 0;
    b.toConfirm = 0;
    b.offset = 0;
}

}  // namespace

void Camera_USBBulkTransfer(DeviceContext* device, PVOID, PVOID) {
    CameraBulkTransfer& b = device->camera.bulk;
    EventMutex lock(device->camera.bulkLock);
    UsbStream* stream = nullptr;
    bool in = false;
    ULONG total = 0;
    {
        SpinGuard g(b.lock);
        if (b.buffer == nullptr) return;  // given up on before it ran
        stream = b.stream;
        in = b.in;
        total = in ? b.toConfirm : b.toHand;
    }
    NTSTATUS status = USBSTRM_Start(stream, total, bulkData, in ? nullptr : bulkFill, nullptr);
    if (NT_SUCCESS(status)) {
        // The data routine signals the end of the transfer; the caller reset
        // the event before it queued this.
        LARGE_INTEGER wait;
        wait.QuadPart = -static_cast<LONGLONG>(kBulkTransferWaitMs) * 10000;
        KeWaitForSingleObject(&b.done, Executive, KernelMode, FALSE, &wait);
        // A transfer that did not end keeps no stream running into a buffer
        // that its owner frees next.
        USBSTRM_Stop(stream, false);
    }
    bulkClear(b);
    KeSetEvent(&b.done, IO_NO_INCREMENT, FALSE);
}

namespace {
NTSTATUS bulkTransferClaimed(DeviceContext* device, bool in, PUCHAR buffer, ULONG length,
                             ULONG waitMs, ULONG* result);
}  // namespace

bool Camera_ClaimBulkPipes(DeviceContext* device) {
    return InterlockedCompareExchange(&device->camera.bulk.claimed, 1, 0) == 0;
}

void Camera_ReleaseBulkPipes(DeviceContext* device) {
    InterlockedExchange(&device->camera.bulk.claimed, 0);
}

NTSTATUS Camera_BulkTransfer(DeviceContext* device, bool in, PUCHAR buffer, ULONG length,
                             ULONG waitMs, ULONG* result) {
    CameraState& c = device->camera;
    if (result) *result = kBulkResultPending;
    if (buffer == nullptr || length == 0) return STATUS_INVALID_PARAMETER;
    if ((in ? c.bulkIn : c.bulkOut) == nullptr) return STATUS_DEVICE_NOT_READY;
    if (!Camera_ClaimBulkPipes(device)) return STATUS_DEVICE_NOT_READY;  // another transfer runs
    struct Unclaim {
        DeviceContext* device;
        ~Unclaim() { Camera_ReleaseBulkPipes(device); }
    } unclaim{device};
    return bulkTransferClaimed(device, in, buffer, length, waitMs, result);
}

namespace {

NTSTATUS bulkTransferClaimed(DeviceContext* device, bool in, PUCHAR buffer, ULONG length,
                             ULONG waitMs, ULONG* result) {
    CameraState& c = device->camera;
    CameraBulkTransfer& b = c.bulk;
    UsbStream* stream = in ? c.bulkIn : c.bulkOut;
    {
        SpinGuard g(b.lock);
        if (b.buffer != nullptr) return STATUS_DEVICE_NOT_READY;  // a stale one still stops
        b.stream = stream;
        b.in = in;
        b.toHand = in ? 0 : length;
        b.toConfirm = length;
        b.offset = 0;
        b.buffer = buffer;
        b.length = length;
        b.result = kBulkResultPending;
        b.finished = false;
        KeResetEvent(&b.done);
    }
    if (onWorkerThread(device)) {
        Camera_USBBulkTransfer(device, nullptr, nullptr);
    } else if (!workerQueue(device, Camera_USBBulkTransfer, nullptr, nullptr)) {
        bulkClear(b);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(waitMs) * 10000;
    KeWaitForSingleObject(&b.done, Executive, KernelMode, FALSE, &timeout);
    {
        // Waits for a transfer that is still running to give up the buffer;
        // one that has not started yet finds nothing to do.
        EventMutex lock(c.bulkLock);
        bulkClear(b);
    }
    KeResetEvent(&b.done);
    bool finished;
    ULONG code;
    {
        SpinGuard g(b.lock);
        finished = b.finished;
        code = b.result;
        b.finished = false;
    }
    if (!finished) return STATUS_UNSUCCESSFUL;
    if (result) *result = code;
    return STATUS_SUCCESS;
}

}  // namespace
