// Bringing the camera up when the device starts, the firmware patch the
// camera may ask for, and taking it all down again at removal.
#include <cstdio>
#include <cstring>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"

namespace {

const WCHAR kSettingsKey[] = u"\\Registry\\Machine\\Software\\Veltra\\USB Camera (PAV512)";
const char kPatchingStatus[] = "Patching Status";

// "Patching Status" values, one per step of the patch decision.
constexpr UCHAR kPatchStart = 0;
constexpr UCHAR kPatchDownloaded = 1;
constexpr UCHAR kPatchCycleFailed = 3;
constexpr UCHAR kPatchNone = 4;
constexpr UCHAR kPatchFinished = 5;
constexpr UCHAR kPatchWaiting = 6;
constexpr UCHAR kPatchWaitEnded = 8;
constexpr UCHAR kPatchWaitEvaluated = 9;

constexpr ULONG kBootPollMs = 50;
constexpr ULONG kBootWaitMs = 10000;
constexpr ULONG kReportWaitMs = 5000;
constexpr ULONG kIdlePauseMs = 100;
constexpr ULONG kSensorReadyReads = 51;
constexpr ULONG kDownloadWaitMs = 6000;
constexpr ULONG kPatchReadyWaitMs = 5000;

struct StreamEntry {
    UCHAR endpoint;
    ULONG inFlight;
    ULONG packets;
    const char* name;
    UsbStream* CameraState::*slot;
};
constexpr StreamEntry kStreams[] = {
    {kCameraBulkInEndpoint, 1, 64, "Bulk In Data Pipe", &CameraState::bulkIn},
    {kCameraBulkOutEndpoint, 8, 64, "Bulk Out Data Pipe", &CameraState::bulkOut},
    {kCameraIsoEndpoint, 8, 8, "Isochronous Image Data", &CameraState::isochronous},
    {kCameraInterruptEndpoint, 2, 1, "Interrupt Status Data", &CameraState::interrupt},
};

void pauseMs(ULONG ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void setPatchingStatus(DeviceContext* d, UCHAR value) {
    regWriteDeviceBinary(d->physicalDevice, kPatchingStatus, &value, 1);
}

// A narrow value name widened for the registry calls.
struct WideName {
    WCHAR text[40];
    explicit WideName(const char* narrow) {
        size_t n = 0;
        for (; n + 1 < sizeof text / sizeof text[0] && narrow[n]; ++n)
            text[n] = static_cast<UCHAR>(narrow[n]);
        text[n] = 0;
    }
};

// Reads a binary value of the settings key into `buffer`; true when it was
// there and fitted; *got tells how long it was.
bool readSetting(const char* name, UCHAR* buffer, ULONG size, ULONG* got = nullptr) {
    WideName wide(name);
    ULONG length = 0;
    NTSTATUS status = regReadBinary(kSettingsKey, wide.text, buffer, size, &length);
    if (got) *got = length;
    return NT_SUCCESS(status);
}

bool writeSetting(const char* name, const UCHAR* data, ULONG size) {
    WideName wide(name);
    return NT_SUCCESS(regWriteBinary(kSettingsKey, wide.text, data, size));
}

struct Patch {
    PUCHAR buffer = nullptr;
    UCHAR major = 0;
    UCHAR minor = 0;
    bool found = false;
};

// The patch the registry holds, if the camera is to get one.
void readPatch(Patch* patch) {
    patch->buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, kPatchBufferLength, kCameraTag));
    if (patch->buffer == nullptr) return;
    std::memset(patch->buffer, 0, kPatchBufferLength);
    UCHAR webCam[4] = {};
    ULONG got = 0;
    if (!readSetting("WebCamPatching", webCam, sizeof webCam, &got) || got < 1) return;
    UCHAR version[2] = {};
    if (!readSetting("ForcePatch", version, sizeof version, &got) || got != 2) return;
    if (webCam[0] == 0) {
        // Patching is off from now on; the patch asked for this time still goes.
        const UCHAR none[2] = {0, 0};
        writeSetting("ForcePatch", none, 2);
    }
    if (version[0] == 0 && version[1] == 0) return;
    for (ULONG block = 0; block < kPatchBlockCount; ++block) {
        char name[32];
        std::snprintf(name, sizeof name, "Patch v%.2x.%.2x_%d", version[0], version[1],
                      static_cast<int>(block));
        if (!readSetting(name, patch->buffer + block * kPatchBlockLength, kPatchBlockLength)) break;
        if (block == 0) patch->found = true;
    }
    patch->major = version[0];
    patch->minor = version[1];
}

USHORT be16(const UCHAR* p) {
    return static_cast<USHORT>((p[0] << 8) | p[1]);
}

// Sends the header and the patch; the camera boots it once it has every byte.
NTSTATUS downloadPatch(DeviceContext* d, const Patch& patch) {
    CameraState& c = d->camera;
    PUCHAR image = patch.buffer;
    ULONG imageLength = be16(image + 99);
    UCHAR sum = 0xFF;
    for (ULONG i = 6; i < imageLength; ++i) sum ^= image[i];
    if (!(image[2] == '5' && image[3] == '2')) sum = static_cast<UCHAR>(sum + 1);
    image[4] = 0;
    image[5] = sum;

    ULONG total = imageLength;
    if (((patch.major << 8) | patch.minor) != kPatchVersionNoTotal) {
        UCHAR t[2] = {};
        ULONG got = 0;
        WideName wide("TotalPatchLength");
        NTSTATUS status = regReadBinary(kSettingsKey, wide.text, t, sizeof t, &got);
        if (!NT_SUCCESS(status)) return status;
        if (got != 2) return STATUS_UNSUCCESSFUL;
        total = static_cast<ULONG>(t[0] | (t[1] << 8));
    }
    // Nothing to send is no download: a stream of no length would never end.
    if (total == 0) return STATUS_UNSUCCESSFUL;

    const UCHAR header[kPatchHeaderLength] = {0,
                                              0,
                                              static_cast<UCHAR>(total >> 8),
                                              static_cast<UCHAR>(total),
                                              patch.major,
                                              patch.minor,
                                              0,
                                              0,
                                              image[5],
                                              image[4]};
    NTSTATUS status = Camera_SendPatchHeader(d, header);
    if (!NT_SUCCESS(status)) return status;
    const LONG iface = d->usbif.interfaceNumber;
    LONG selected = 0;
    status = USBIF_SetCameraAlternate(d, iface, 1, &selected);
    if (!NT_SUCCESS(status) || selected != 1)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    ULONG result = 0;
    status = Camera_BulkTransfer(d, false, image, total, kDownloadWaitMs, &result);
    if (!NT_SUCCESS(status)) {
        if (c.interrupt) USBSTRM_Stop(c.interrupt, false);
        USBIF_SetCameraAlternate(d, iface, 0, &selected);
        if (c.bulkOut) USBSTRM_Stop(c.bulkOut, false);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

bool running(DeviceContext* d) {
    return d->running.load();
}

// After a download: the camera reports ready once the patch runs.
NTSTATUS waitForPatchedCamera(DeviceContext* d) {
    CameraState& c = d->camera;
    c.ready.store(false);
    if (c.interrupt) USBSTRM_Start(c.interrupt, 0, Camera_InterruptMessage, nullptr, nullptr);
    setPatchingStatus(d, kPatchWaiting);
    LONGLONG until = deadline(kPatchReadyWaitMs);
    while (!c.ready.load() && running(d) && !d->streams.pipeFailure) {
        if (reached(until)) break;
    }
    if (c.interrupt) USBSTRM_Stop(c.interrupt, false);
    LONG selected = 0;
    USBIF_SetCameraAlternate(d, d->usbif.interfaceNumber, 0, &selected);
    setPatchingStatus(d, kPatchWaitEnded);
    bool pending;
    {
        KIRQL irql = KfAcquireSpinLock(&c.bulk.lock);
        pending = c.bulk.buffer != nullptr;
        KfReleaseSpinLock(&c.bulk.lock, irql);
    }
    NTSTATUS status =
        (pending || !running(d) || !c.ready.load()) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    setPatchingStatus(d, kPatchWaitEvaluated);
    return status;
}

// True when a patch was found and sent (the start-up then ends unsuccessful).
bool patchDecision(DeviceContext* d) {
    setPatchingStatus(d, kPatchStart);
    Patch patch;
    readPatch(&patch);
    if (!patch.found) {
        setPatchingStatus(d, kPatchNone);
        if (patch.buffer) ExFreePool(patch.buffer);
        return false;
    }
    NTSTATUS status = downloadPatch(d, patch);
    setPatchingStatus(d, kPatchDownloaded);
    if (NT_SUCCESS(status)) waitForPatchedCamera(d);
    if (!NT_SUCCESS(USBIF_CyclePort(d))) setPatchingStatus(d, kPatchCycleFailed);
    ExFreePool(patch.buffer);
    setPatchingStatus(d, kPatchFinished);
    return true;
}

// The camera reports back once asked (message 5) when its firmware is new
// enough to know the question. A camera that cannot be asked, or does not
// answer, still starts: the report is the camera's news, not a condition.
NTSTATUS askForReport(DeviceContext* d) {
    CameraState& c = d->camera;
    Camera_WriteRegister(d, CAMERAACCESS_SYSTEM, kRegReportRequest, 1);
    const LONG iface = d->usbif.interfaceNumber;
    LONG selected = 0;
    // Without setting 1 there is no interrupt pipe and the start below fails.
    USBIF_SetCameraAlternate(d, iface, 1, &selected);
    NTSTATUS started =
        c.interrupt ? USBSTRM_Start(c.interrupt, 0, Camera_InterruptMessage, nullptr, nullptr)
                    : STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(started)) {
        LONGLONG until = deadline(kReportWaitMs);
        while (!c.message5Seen.load() && !d->streams.pipeFailure) {
            if (reached(until)) break;
        }
    }
    if (c.interrupt) USBSTRM_Stop(c.interrupt, false);
    USBIF_SetCameraAlternate(d, iface, 0, &selected);
    if (c.message5.load() && !NT_SUCCESS(started)) return started;
    return STATUS_SUCCESS;
}

NTSTATUS registerFormat(DeviceContext* d) {
    CameraState& c = d->camera;
    CameraVideoFormat format{};
    format.compression = kFourccMjpg;
    format.bitCount = 24;
    format.minimumWidth = 64;
    format.minimumHeight = 56;
    format.granularityX = 16;
    format.granularityY = 8;
    format.maximumFps = 30;
    format.minimumFps = 1;
    format.fixedSize = false;
    format.temporalCompression = true;
    format.subFormat = kMjpgSubFormat;
    switch (sensorFamily(c.sensorType)) {
        case SensorFamily::Large:
            format.maximumWidth = 640;
            format.maximumHeight = 480;
            break;
        case SensorFamily::Small: {
            format.maximumWidth = 352;
            format.maximumHeight = 288;
            // A size stored for a larger sensor is more than this one can do.
            if (PropertyRequestHook request = d->propertyRequest.load()) {
                ULONG size[2] = {};
                ULONG actual = 0;
                if (NT_SUCCESS(request(d, &kDevicePropertySet, kPropertyImageSize, false, size,
                                       sizeof size, sizeof size, &actual)) &&
                    (size[0] > 352 || size[1] > 288)) {
                    size[0] = 352;
                    size[1] = 288;
                    request(d, &kDevicePropertySet, kPropertyImageSize, true, size, sizeof size,
                            sizeof size, &actual);
                }
            }
            break;
        }
        case SensorFamily::Unknown:
            return STATUS_UNSUCCESSFUL;
    }
    if (CameraAddFormatHook add = c.hooks.addFormat.load()) return add(d, format);
    return STATUS_SUCCESS;
}

void resetState(CameraState& c) {
    c.acquireCount = 0;
    c.frameCallback.store(nullptr);
    c.isochronousMode.store(false);
    c.packetSize.store(0);
    c.alternate.store(0);
    c.ready.store(false);
    c.message5.store(false);
    c.message5Seen.store(false);
    c.inputState.store(0);
    c.sensorType = 0;
    c.openState = 0;
    c.width = c.height = 0;
    c.modeChange.store(nullptr);
}

NTSTATUS startup(DeviceContext* d) {
    CameraState& c = d->camera;
    resetState(c);
    c.started = true;
    NTSTATUS status = USBIF_Initialise(d);
    if (!NT_SUCCESS(status)) return status;
    c.modeChange.store(Camera_SetMode);
    c.information = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, kInformationBlockLength, kCameraTag));
    if (c.information == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(c.information, 0, kInformationBlockLength);
    ULONG fpga = 0;
    if (NT_SUCCESS(regReadDword(kSettingsKey, u"FPGA", &fpga))) c.fpga = fpga;

    status = Camera_ReadInformation(d, c.information);
    if (!NT_SUCCESS(status)) return status;
    if (c.information[0] != 0 && (c.information[2] != 0 || c.information[3] != 0)) {
        LONGLONG until = deadline(kBootWaitMs);
        for (;;) {
            UCHAR boot = 0;
            status = Camera_ReadRegister(d, CAMERAACCESS_SYSTEM, kRegBootState, &boot);
            if (!NT_SUCCESS(status)) return status;
            if (boot == kBooted) break;
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            if (now.QuadPart >= until) break;
            pauseMs(kBootPollMs);
        }
        status = Camera_ReadInformation(d, c.information);
        if (!NT_SUCCESS(status)) return status;
    }

    const LONG iface = d->usbif.interfaceNumber;
    for (const StreamEntry& s : kStreams) {
        status = USBSTRM_Create(d, iface, s.endpoint, s.inFlight, s.packets, s.name, &(c.*s.slot));
        if (!NT_SUCCESS(status)) return status;
    }
    d->tickHooks.videoStall.store(Camera_VideoStallCheck);

    const UCHAR release0 = c.information[0], release1 = c.information[1];
    const bool takesPatches = release0 == 1 && (release1 == 1 || release1 == 2 || release1 == 3);
    if (takesPatches && patchDecision(d)) {
        // The camera comes back patched as a new device; this one is done.
        c.sensorType = 1;
        registerFormat(d);
        return STATUS_UNSUCCESSFUL;
    }

    UCHAR always[2] = {};
    ULONG got = 0;
    if (readSetting("ForcePatchAlways", always, sizeof always, &got) && got == 2)
        writeSetting("ForcePatch", always, 2);

    const USHORT level = be16(c.information + 2);
    if (level > 0x0100) {
        status = askForReport(d);
        if (!NT_SUCCESS(status)) return status;
    }

    status = Camera_WriteRegister(d, CAMERAACCESS_ASIC, kRegPowerMode, kPowerIdle);
    if (!NT_SUCCESS(status)) return status;
    pauseMs(kIdlePauseMs);
    status = Camera_WriteRegister(d, CAMERAACCESS_ASIC, kRegStartup, kStartupValue);
    if (!NT_SUCCESS(status)) return status;

    for (ULONG i = 0; i < kSensorReadyReads; ++i) {
        UCHAR value = 0;
        status = Camera_ReadRegister(d, CAMERAACCESS_VP, kRegStatus, &value);
        if (!NT_SUCCESS(status)) return status;
        if (value & kSensorReady) break;
    }
    status = Camera_ReadRegister(d, CAMERAACCESS_VP, kRegSensorType, &c.sensorType);
    if (!NT_SUCCESS(status)) return status;
    return registerFormat(d);
}

}  // namespace

NTSTATUS Camera_Startup(DeviceContext* device) {
    return startup(device);
}

void Camera_Remove(DeviceContext* device) {
    CameraState& c = device->camera;
    if (!c.started) return;
    c.started = false;
    if (device->pnpState == kPnpStreamPoweredDown)
        device->watches.signal(kCameraEventSet, kCameraEventPoweredDownRemoval);
    device->watches.signal(kCameraEventSet, kCameraEventRemoved);
    device->tickHooks.videoStall.store(nullptr);
    c.frameCallback.store(nullptr);
    c.modeChange.store(nullptr);
    {
        // A mode change queued on the worker (the move to bulk video after a
        // recovery) finds the streams there or gone, never half freed.
        KeWaitForSingleObject(&c.modeLock, Executive, KernelMode, FALSE, nullptr);
        for (const StreamEntry& s : kStreams) {
            if (c.*s.slot) USBSTRM_Destroy(&(c.*s.slot));
            c.*s.slot = nullptr;
        }
        KeSetEvent(&c.modeLock, IO_NO_INCREMENT, FALSE);
    }
    USBIF_Terminate(device);
    if (c.information) ExFreePool(c.information);
    c.information = nullptr;
    c.isochronousMode.store(false);
    c.packetSize.store(0);
    c.alternate.store(0);
}
