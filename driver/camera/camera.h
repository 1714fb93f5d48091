// The camera object: owns the camera chip as a device. It brings the camera up
// when the device starts (information block, firmware patch, sensor, video
// formats), switches the USB interface between its idle, bulk and
// isochronous alternate settings, programs the sensor for a picture size,
// checks and forwards video data, turns the camera's interrupt messages into
// events, runs bulk transfers for the other modules and offers the camera's
// vendor command set to the rest of the driver.
#pragma once

#include <atomic>

#include "driver/camera/usbstrm.h"
#include "platform/kernel/wdm.h"

struct DeviceContext;

constexpr ULONG kCameraTag = PoolTag("cam ");

// ---------------------------------------------------------------------------
// Wire facts

constexpr ULONG kInformationBlockLength = 22;
constexpr ULONG kPatchBufferLength = 102400;
constexpr ULONG kPatchBlockLength = 4096;
constexpr ULONG kPatchBlockCount = kPatchBufferLength / kPatchBlockLength;  // 25
constexpr ULONG kPatchHeaderLength = 10;
constexpr USHORT kPatchVersionNoTotal = 0x9999;  // sends its own image length

// Vendor requests of the camera command set.
enum CameraRequest : UCHAR {
    kCamWriteRegisters = 0x01,
    kCamDeleteObject = 0x02,
    kCamOpenObject = 0x03,
    kCamReadItem = 0x05,
    kCamPatchHeader = 0x06,
    kCamPrepareStorage = 0x08,
    kCamCloseObject = 0x09,
    kCamPrepareEntry = 0x0A,
    kCamWriteBlock = 0x0B,
    kCamCurrentMemory = 0x80,
    kCamReadRegisters = 0x81,
    kCamStorageFigure = 0x82,
    kCamObjectCount = 0x83,
    kCamInformation = 0x84,
    kCamPrepareTable = 0x85,
    kCamMemoryResult = 0x86,
    kCamEraseMemory = 0x87,
    kCamReadBlock = 0x8B,
};

// Register spaces of requests 0x01 and 0x81 (the low three bits of the value).
enum CameraAccess : UCHAR {
    CAMERAACCESS_SYSTEM = 0,
    CAMERAACCESS_VC = 1,  // sensor
    CAMERAACCESS_VP = 2,  // video processor
    CAMERAACCESS_ASIC = 3,
    CAMERAACCESS_IDATA = 4,
};
constexpr UCHAR kCameraTableForm = 8;  // or'ed into the space: (register, value) pairs

// Memory spaces of the memory requests.
enum CameraMemAccess : UCHAR {
    CAMERAMEMACCESS_PROGRAM = 0,
    CAMERAMEMACCESS_SRAM = 1,
    CAMERAMEMACCESS_SDRAM = 2,
    CAMERAMEMACCESS_NAND = 3,
    CAMERAMEMACCESS_SMARTMEDIA = 4,
    CAMERAMEMACCESS_EEPROM = 5,
};

// Items of request 0x05.
enum CameraItem : UCHAR {
    kCamItemClipVideo = 1,
    kCamItemSound = 2,
    kCamItemThumbnail = 4,
    kCamItemPicture = 8,
    kCamItemFirstBlock = 0xFF,
};

// Registers with a fixed meaning.
constexpr UCHAR kRegBootState = 0x00;  // space 0
constexpr UCHAR kBooted = 4;
constexpr UCHAR kRegReportRequest = 0x02;  // space 0: 1 asks for message 5
constexpr UCHAR kRegStatus = 0x02;         // space 2
constexpr UCHAR kSensorReady = 0x20;
constexpr UCHAR kRegSensorType = 0x06;  // space 2
constexpr UCHAR kRegPowerMode = 0x01;   // space 3
constexpr UCHAR kPowerVideoRunning = 0xCD;
constexpr UCHAR kPowerIdle = 0x0D;
constexpr UCHAR kRegStartup = 0x06;  // space 3, written 0x26 at start-up
constexpr UCHAR kStartupValue = 0x26;
constexpr UCHAR kRegTransferMode = 0x21;  // space 3
constexpr UCHAR kRegTablesDone = 0x2F;    // space 3

// Isochronous packet size of each alternate setting.
constexpr ULONG kAlternateCount = 8;
constexpr ULONG kPacketSizes[kAlternateCount] = {0, 0, 128, 384, 640, 768, 896, 1023};

// Stream table.
constexpr UCHAR kCameraBulkInEndpoint = 0x82;
constexpr UCHAR kCameraBulkOutEndpoint = 0x05;
constexpr UCHAR kCameraIsoEndpoint = 0x81;
constexpr UCHAR kCameraInterruptEndpoint = 0x83;

// Result codes of a bulk transfer (the command family's module statuses).
constexpr ULONG kBulkResultOk = 0;
constexpr ULONG kBulkResultMarker = 53;     // the answer carries 0xED 0x15 at 0 and 62
constexpr ULONG kBulkResultTooLong = 55;    // the camera sent more than asked
constexpr ULONG kBulkResultPending = 0xFF;  // not finished

// ---------------------------------------------------------------------------
// What the camera needs from the modules above it. Each hook is installed by
// the module that owns it; until then the camera does without (see each).

// Receives video payload in completion context; a length of 0 drops the frame
// being assembled (a bad packet, or no data for a while).
using CameraFrameRoutine = void (*)(DeviceContext* device, const UCHAR* data, ULONG length);

// One video format the sensor allows, for the stream interface's format table.
struct CameraVideoFormat {
    ULONG compression;  // four characters, first in the low byte
    USHORT bitCount;
    ULONG minimumWidth, minimumHeight;
    ULONG maximumWidth, maximumHeight;
    ULONG granularityX, granularityY;
    ULONG maximumFps, minimumFps;
    bool fixedSize;
    bool temporalCompression;
    GUID subFormat;
};
using CameraAddFormatHook = NTSTATUS (*)(DeviceContext* device, const CameraVideoFormat& format);
// Hands every settable property's stored value to the camera.
using CameraApplyPropertiesHook = void (*)(DeviceContext* device);

struct CameraHooks {
    // Null: the format is not registered anywhere and the start-up goes on.
    std::atomic<CameraAddFormatHook> addFormat{nullptr};
    // Null: nothing to apply.
    std::atomic<CameraApplyPropertiesHook> applyProperties{nullptr};
};
// The picture size property (read and written through the property
// manager's request hook of the DeviceContext; without one the reads fail and
// the writes are dropped).
extern const GUID kDevicePropertySet;  // {2BBD8342-6AA2-11D3-A076-00A024AD71C2}
constexpr ULONG kPropertyImageSize = 7;
extern const GUID kMjpgSubFormat;          // {47504A4D-0000-0010-8000-00AA00389B71}
constexpr ULONG kFourccMjpg = 0x47504A4D;  // "MJPG"

// Events of the camera event set.
constexpr ULONG kCameraEventRemoved = 0;
constexpr ULONG kCameraEventStalled = 1;
constexpr ULONG kCameraEventVideoStarted = 2;
constexpr ULONG kCameraEventVideoStopped = 3;
constexpr ULONG kCameraEventPoweredDownRemoval = 4;
constexpr ULONG kVideoStallMs = 200;

// ---------------------------------------------------------------------------
// Camera state (one per device, in the DeviceContext)

using CameraModeRoutine = NTSTATUS (*)(DeviceContext* device, LONG mode);

// One bulk transfer run to the end by Camera_USBBulkTransfer. The routines in
// completion context touch it only under its spin lock.
struct CameraBulkTransfer {
    KSPIN_LOCK lock;
    UsbStream* stream = nullptr;
    bool in = false;
    ULONG toHand = 0;     // bytes the fill routine has still to give the stream
    ULONG toConfirm = 0;  // bytes whose arrival (or departure) is still to be seen
    ULONG offset = 0;
    PUCHAR buffer = nullptr;  // null once finished
    ULONG length = 0;         // of the buffer, for the marker check
    ULONG result = kBulkResultOk;
    bool finished = false;  // every byte was seen
    KEVENT done;            // notification
    // Held by one caller from its start to the collection of its result, so
    // a second one is refused at once instead of resetting the first's
    // result or done event; the diagnostic bulk transfer holds it too.
    volatile LONG claimed = 0;
};

struct CameraState {
    // The locks exist from the device's creation, so every entry point is
    // safe to call before (or without) a start-up.
    CameraState() {
        KeInitializeEvent(&cameraLock, SynchronizationEvent, TRUE);
        KeInitializeEvent(&bulkLock, SynchronizationEvent, TRUE);
        KeInitializeEvent(&modeLock, SynchronizationEvent, TRUE);
        KeInitializeSpinLock(&bulk.lock);
        KeInitializeEvent(&bulk.done, NotificationEvent, FALSE);
    }
    KEVENT cameraLock;  // event used as a mutex: open, close, start, stop, acquire
    KEVENT bulkLock;    // event used as a mutex: bulk transfers
    KEVENT modeLock;    // event used as a mutex: mode changes from any module
    UsbStream* bulkIn = nullptr;
    UsbStream* bulkOut = nullptr;
    UsbStream* isochronous = nullptr;
    UsbStream* interrupt = nullptr;
    volatile LONG acquireCount = 0;
    std::atomic<CameraFrameRoutine> frameCallback{nullptr};
    // Calls of the frame callback in progress (video data and the tick's
    // stall call); Camera_Stop waits for them to end.
    std::atomic<LONG> frameCalls{0};
    std::atomic<ULONG> lastActivityMs{0};
    std::atomic<bool> isochronousMode{false};
    std::atomic<ULONG> packetSize{0};
    std::atomic<LONG> alternate{0};  // the setting the last mode change selected
    std::atomic<bool> acceptBadChecksums{false};
    PUCHAR information = nullptr;  // 22 bytes
    UCHAR sensorType = 0;
    std::atomic<bool> ready{false};
    std::atomic<bool> message5{false};
    std::atomic<bool> message5Seen{false};  // any message 5, whatever it reported
    std::atomic<USHORT> inputState{0};
    LONG openState = 0;
    ULONG width = 0, height = 0;
    ULONG fpga = 0;
    CameraBulkTransfer bulk;
    std::atomic<CameraModeRoutine> modeChange{nullptr};
    // Moves the video to the bulk-in pipe after a recovery could only get
    // setting 1 (the isochronous pipe is gone there); reserved, so an empty
    // node pool cannot leave the video stopped for good.
    ReservedWork bulkFallback;
    bool started = false;  // the start-up ran far enough to need a teardown
    CameraHooks hooks;
};

// ---------------------------------------------------------------------------
// Device start and removal

// The start-up sequence. STATUS_UNSUCCESSFUL after a patch was sent (the
// camera re-enumerates and the device starts again), or when the sensor is
// of no known type; a failing vendor request ends it with its status.
NTSTATUS Camera_Startup(DeviceContext* device);
// Raises the removal events, destroys the streams, unconfigures the device
// and frees what the start-up allocated. Safe on a camera that never started.
void Camera_Remove(DeviceContext* device);

// ---------------------------------------------------------------------------
// Users of the camera

// The first acquirer gets success, any other STATUS_DEVICE_NOT_READY. `use`
// (0 still pictures, 1 video) does not change the behaviour.
NTSTATUS Camera_Acquire(DeviceContext* device, ULONG use);
void Camera_Release(DeviceContext* device);

// Programs the sensor for width x height; *frameBufferSize = 2 x w x h + 608.
NTSTATUS Camera_Open(DeviceContext* device, ULONG width, ULONG height, ULONG* frameBufferSize);
NTSTATUS Camera_Close(DeviceContext* device);
NTSTATUS Camera_Start(DeviceContext* device, CameraFrameRoutine callback);
// Drops the frame callback and returns once no call of it is in progress
// (from the video stream or the tick), so the frame manager may free what
// the callback fills. Never call it from inside the callback.
NTSTATUS Camera_Stop(DeviceContext* device);
// Mode 0 idle, 1 bulk video, 2-7 isochronous video (the wanted setting).
NTSTATUS Camera_SetMode(DeviceContext* device, LONG mode);

// Runs one bulk transfer on the worker thread and waits for it (at most
// `waitMs`). `in`: from the camera on the bulk-in pipe into `buffer`; else
// `buffer` goes out on the bulk-out pipe. *result gets the result code.
NTSTATUS Camera_BulkTransfer(DeviceContext* device, bool in, PUCHAR buffer, ULONG length,
                             ULONG waitMs, ULONG* result);
// The bulk pipes for a user outside the camera object (the diagnostic
// transfer): false when a bulk transfer or another user has them.
bool Camera_ClaimBulkPipes(DeviceContext* device);
void Camera_ReleaseBulkPipes(DeviceContext* device);
// The work item behind it (worker thread, under the bulk-transfer lock).
void Camera_USBBulkTransfer(DeviceContext* device, PVOID unused1, PVOID unused2);

// ---------------------------------------------------------------------------
// Camera command set. Each is one vendor request; failures return the USB
// status, and an answer shorter than its fixed size is STATUS_UNSUCCESSFUL.
// Multi-byte values in the data are big-endian.

NTSTATUS Camera_WriteRegisters(DeviceContext* device, UCHAR space, UCHAR firstRegister,
                               const UCHAR* values, ULONG count);
NTSTATUS Camera_ReadRegisters(DeviceContext* device, UCHAR space, UCHAR firstRegister,
                              UCHAR* values, ULONG count);
NTSTATUS Camera_WriteRegister(DeviceContext* device, UCHAR space, UCHAR reg, UCHAR value);
NTSTATUS Camera_ReadRegister(DeviceContext* device, UCHAR space, UCHAR reg, UCHAR* value);
// `pairs` holds pairCount (register, value) pairs.
NTSTATUS Camera_WriteTable(DeviceContext* device, UCHAR space, const UCHAR* pairs, ULONG pairCount);
// Reads the register, ANDs a non-zero mask, ORs a non-zero value, writes it back.
NTSTATUS Camera_ReadModifyWrite(DeviceContext* device, UCHAR space, UCHAR reg, UCHAR andMask,
                                UCHAR orValue);
NTSTATUS Camera_ReadInformation(DeviceContext* device, UCHAR* block22);
NTSTATUS Camera_SendPatchHeader(DeviceContext* device, const UCHAR* header10);

// The answer of request 0x86: the result of the last memory command and
// whether it is still running.
struct CameraMemoryResult {
    UCHAR result = 0;
    bool running = false;
    bool valid = false;  // false when 0x86 could not be read
};
NTSTATUS Camera_CurrentMemory(DeviceContext* device, UCHAR* memory);
NTSTATUS Camera_StorageFigure(DeviceContext* device, UCHAR memory, UCHAR item, ULONG* value);
NTSTATUS Camera_ObjectCount(DeviceContext* device, UCHAR memory, ULONG* count);
NTSTATUS Camera_MemoryResult(DeviceContext* device, UCHAR memory, CameraMemoryResult* result);
NTSTATUS Camera_EraseMemory(DeviceContext* device, UCHAR memory);
// The commands below read 0x86 into *result (optional) when they fail.
NTSTATUS Camera_PrepareObjectTable(DeviceContext* device, UCHAR memory, CameraMemoryResult* result);
NTSTATUS Camera_DeleteObject(DeviceContext* device, UCHAR memory, ULONG object);
// Reads 0x86 afterwards in every case.
NTSTATUS Camera_OpenObject(DeviceContext* device, UCHAR memory, ULONG object,
                           CameraMemoryResult* result);
NTSTATUS Camera_ReadItem(DeviceContext* device, UCHAR memory, UCHAR item, ULONG object,
                         ULONG length, CameraMemoryResult* result);
// The same request without waiting for it: `done` runs in completion context
// (also when the request fails or is cancelled through *inFlight). `data`
// holds the request's 8 bytes and must stay until then. Reads no 0x86.
NTSTATUS Camera_ReadItemAsync(DeviceContext* device, UCHAR memory, UCHAR item, ULONG object,
                              ULONG length, UCHAR (&data)[8], UsbVendorDone done, PVOID context,
                              UsbVendorRequest* volatile* inFlight);
NTSTATUS Camera_PrepareStorageDescription(DeviceContext* device, UCHAR memory);
NTSTATUS Camera_CloseObject(DeviceContext* device, UCHAR memory, ULONG object,
                            CameraMemoryResult* result);
NTSTATUS Camera_PrepareDirectoryEntry(DeviceContext* device, UCHAR memory, ULONG object,
                                      CameraMemoryResult* result);
NTSTATUS Camera_WriteDataBlock(DeviceContext* device, USHORT item, const UCHAR* data, ULONG length);
// *length: in, the room; out, the bytes the camera sent.
NTSTATUS Camera_ReadDataBlock(DeviceContext* device, USHORT item, UCHAR* data, ULONG* length);

// ---------------------------------------------------------------------------
// Data paths (exposed for the streams and for tests)

// Isochronous or bulk video data as the video stream delivers it.
void Camera_VideoData(DeviceContext* device, PUCHAR data, ULONG length);
// One interrupt message.
void Camera_InterruptMessage(DeviceContext* device, PUCHAR data, ULONG length);
// The 100 ms tick's check that video still arrives while started.
void Camera_VideoStallCheck(DeviceContext* device, ULONG nowMs);

// ---------------------------------------------------------------------------
// MJPG frames, as the frame manager assembles and hands them on

// Whether the bytes assembled so far (`fillPosition` of them in `fill`, a
// buffer of `rawFrameSize`) end a whole frame: the last two are 0xFF 0xD9.
// `chunkLength` is the length of the chunk just added.
bool Camera_FrameEnd(ULONG chunkLength, const UCHAR* fill, ULONG fillPosition, ULONG rawFrameSize);
// Where in a whole raw frame its image starts (*image) and how long it is
// (*imageLength), so that it can be copied once, straight to where it is
// wanted: a frame that starts 0xFF 0xD8 whole, one that starts 0xD9 0xFF 0xD8
// without its first byte, and only when it is smaller than the image room
// (`imageSize`). False (*image null, *imageLength 0) for any other frame.
bool Camera_FrameImage(const UCHAR* raw, ULONG rawLength, ULONG imageSize, const UCHAR** image,
                       ULONG* imageLength);

// ---------------------------------------------------------------------------
// Register tables

enum class SensorFamily { Small, Large, Unknown };  // types 1, 2, 4 / 0, 16, 32, 96
SensorFamily sensorFamily(UCHAR sensorType);

struct RegisterTables {
    UCHAR videoProcessor[3 * 2];  // (register, value) pairs for space 2
    UCHAR sensor[23 * 2];         // (register, value) pairs for space 1
};
// False for a sensor of no known family.
bool buildRegisterTables(UCHAR sensorType, ULONG width, ULONG height, RegisterTables* tables);
