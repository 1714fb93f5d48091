// The PTP responder: plays the camera's side of the Picture Transfer Protocol
// for the objects in the camera's memories. The PTP transport hands it each
// transaction in three phases (command, data, response) and the still-image
// class requests; it answers from the camera's directory and memories through
// the camera's memory commands and bulk-in reads, and builds the object files
// on the fly (object_files.h).
#pragma once

#include "driver/camera/object_files.h"
#include "platform/kernel/wdm.h"

struct DeviceContext;

// Its memory: "PTP" and a zero byte.
constexpr ULONG kPtpResponderTag = PoolTag("PTP\0");

constexpr ULONG kDeviceInfoLength = 303;
constexpr ULONG kStorageInfoLength = 32;
constexpr ULONG kObjectInfoLength = 146;
constexpr ULONG kMaxObjectCount = 8192;
constexpr ULONG kStorageIdBase = 0x00010000;
constexpr ULONG kObjectHandleBase = 0x10000000;
// The maker's name in the device information.
inline constexpr char kPtpMakerName[] = "Veltra";

// Response codes.
constexpr USHORT kPtpOk = 0x2001;
constexpr USHORT kPtpGeneralError = 0x2002;
constexpr USHORT kPtpSessionNotOpen = 0x2003;
constexpr USHORT kPtpParameterNotSupported = 0x2006;
constexpr USHORT kPtpInvalidParameter = 0x201D;

// Phase statuses, left in byte 0 of the request for the transport.
constexpr UCHAR kPhaseDone = 0;
constexpr UCHAR kPhaseNotSupported = 1;
constexpr UCHAR kPhaseNoData = 3;
constexpr UCHAR kPhaseNoMemory = 6;
constexpr UCHAR kPhaseRefused = 53;

// The dataset the last command phase built (storage or object information,
// storage identifiers, a handle list), by the operation that built it.
struct PtpDataset {
    USHORT operation = 0;
    PUCHAR data = nullptr;
    ULONG length = 0;
};

struct PtpResponderState {
    bool initialised = false;
    bool sessionOpen = false;
    USHORT responseCode = kPtpOk;
    USHORT operation = 0;         // of the last command phase
    ULONG dataOffset = 0;         // bytes of the current dataset or object delivered
    PUCHAR deviceInfo = nullptr;  // built once and kept
    ULONG deviceInfoLength = 0;
    PtpDataset dataset;
    ULONG objectCount = 0;  // the last GetNumObjects result

    // The object being read.
    ULONG currentObject = 0;  // 24-bit object number, 0 = none
    UCHAR currentMemory = 0;
    ULONG currentHandle = 0;
    PUCHAR entry = nullptr;  // copy of its 86-byte directory entry
    ULONG partialOffset = 0;
    ULONG partialMaximum = 0;
    ULONG partialLength = 0;  // bytes the GetPartialObject in progress delivers
    PUCHAR clipIndex = nullptr;
    ULONG clipIndexCapacity = 0;  // entries
    PUCHAR block = nullptr;       // the kept 512-byte block
    PUCHAR window = nullptr;      // the frame finder's window
    PUCHAR ahead = nullptr;       // the piece of a picture read before it is asked for
    ULONG lastSlice = 0;          // of the object data phase just done; 0 after any other
    ObjectReader reader;
    ObjectFile file;
};

// Set up by the PTP transport when it starts; every buffer is freed when it ends.
NTSTATUS Camera_PtpInitialise(DeviceContext* device);
void Camera_PtpTerminate(DeviceContext* device);

// The transport's handlers. `buffer` is the request's system buffer of
// `length` bytes (header and data area). Each leaves the phase status (or
// module status) in byte 0 and returns 0: it has finished.
ULONG Camera_PtpCommandPhase(DeviceContext* device, PUCHAR buffer, ULONG length);
ULONG Camera_PtpDataPhase(DeviceContext* device, PUCHAR buffer, ULONG length);
ULONG Camera_PtpResponsePhase(DeviceContext* device, PUCHAR buffer, ULONG length);
// After a data phase has been answered: while a picture is being read, reads
// its next piece from the camera, as large as the slice just delivered, so
// that the camera's side of the next data phase is done while the answer to
// this one travels. Does nothing otherwise.
void Camera_PtpReadAhead(DeviceContext* device);
// A still-image class request (0x221018): 100 (cancel) brings the transaction
// back to rest; 101 to 103 do nothing; others are not known (status 3).
ULONG Camera_PtpClassRequest(DeviceContext* device, PUCHAR buffer, ULONG length);

// Builds the device information into `out`: each field only when it fits
// below `room`; returns the whole dataset's length (303).
ULONG Camera_PtpBuildDeviceInfo(const UCHAR* informationBlock, PUCHAR out, ULONG room);
