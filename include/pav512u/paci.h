/* The still camera interface: the camera's storages and the pictures in them
 * as one hierarchy of identifiers, each picture's information, downloads whole
 * or block by block, an 80 x 60 preview bitmap of a JPEG picture, a stream of
 * named properties per identifier, and the "Delete Object" command.
 *
 * A handle holds its own PTP channel with an open session and a video-property
 * handle on the same camera. One handle is used by one thread at a time;
 * different handles may be used from different threads. When the camera goes
 * away the handle is orphaned: picture operations fail and only
 * PACI_HandleClose remains useful. */
#ifndef PAV512U_PACI_H
#define PAV512U_PACI_H

#include "pav512u/pav512u.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t PACI_STATUS;

#define PACI_STATUS_SUCCESS 0u
#define PACI_STATUS_INVALID_STATUS 1u
#define PACI_STATUS_BAD_PARAMETER 2u
#define PACI_STATUS_BUFFER_TOO_SMALL 3u
#define PACI_STATUS_BUFFER_TOO_LARGE 4u
#define PACI_STATUS_NULL_POINTER 5u
#define PACI_STATUS_ALLOC_FAILED 6u
#define PACI_STATUS_DRIVER_VERSION_MISMATCH 7u
#define PACI_STATUS_ALREADY_LOCKED 8u
#define PACI_STATUS_NOT_IMPLEMENTED 9u
#define PACI_STATUS_CAMERA_NOT_FOUND 0x10u
#define PACI_STATUS_CAMERA_ERROR 0x12u
#define PACI_STATUS_BAD_GUID 0x20u
#define PACI_STATUS_BAD_ID 0x21u
#define PACI_STATUS_IN_USE 0x30u
#define PACI_STATUS_BULK_FAILED 0x41u
#define PACI_STATUS_BLOCK_CORRUPT 0x42u
#define PACI_STATUS_BLOCK_BAD_SIZE 0x43u
#define PACI_STATUS_TASK_INVALID 0x45u
#define PACI_STATUS_TASK_PENDING 0x46u
#define PACI_STATUS_TASK_ABORT_FAILED 0x47u
#define PACI_STATUS_TASK_ABORTED 0x48u
#define PACI_STATUS_LOCKED 0x4Bu
#define PACI_STATUS_TIMEDOUT 0x4Cu
#define PACI_STATUS_COMMAND_INVALID 0x4Du
#define PACI_STATUS_COMMAND_FAILED 0x4Eu
#define PACI_STATUS_COMMAND_NOT_ATTEMPTED 0x4Fu
#define PACI_STATUS_TRANSPORT_FAILED 0x50u
#define PACI_STATUS_NOT_LOCKED 0x51u
#define PACI_STATUS_BAD_PROP_STREAM 0x60u
#define PACI_STATUS_PROP_NOT_FOUND 0x61u
#define PACI_STATUS_BAD_BUFFER_LENGTH 0x62u
#define PACI_STATUS_PROP_READ_ONLY 0x63u
#define PACI_STATUS_BLOCK_TRANSFER_IN_PROGRESS 0x64u
#define PACI_STATUS_NO_CURRENT_BLOCK_TRANSFER 0x65u
/* A block transfer has more data (no text). */
#define PACI_STATUS_MORE_DATA 0x67u
/* The camera delivered more than the object's size (no text). */
#define PACI_STATUS_BLOCK_OVERRUN 0x68u
#define PACI_STATUS_DLL_LOAD_ERROR 0x69u
#define PACI_STATUS_NO_PREVIEW 0x6Au
#define PACI_STATUS_SCALE_FAILED 0x6Bu
#define PACI_STATUS_DECODE_FAILED 0x6Cu
/* The camera's PTP response r other than OK comes back as this base + r. */
#define PACI_STATUS_PTP_RESPONSE_BASE 0xF0000000u

#define PACI_VERSION 0x0203u

/* One number space for the camera (PACI_ID_DEVICE), its storages (low 24 bits
 * zero) and its pictures (low 24 bits non-zero: the PTP ObjectHandle). 0 is
 * invalid everywhere. */
typedef uint32_t PACI_ID;
#define PACI_ID_DEVICE 0xFFFFFFFFu

typedef struct PACI_HANDLE_S* PACI_HANDLE;

/* 300 bytes, zeroed before filling. */
typedef struct PACI_OBJECT_INFO {
    uint32_t StorageID;       /* PTP form */
    uint16_t ObjectFormat;    /* 0xFFFF the device, 0xF000 a storage */
    uint16_t Reserved1;
    uint32_t ObjectSize;
    uint16_t ThumbFormat;     /* 0x3804 for a JPEG picture: its preview */
    uint16_t Reserved2;
    uint32_t ThumbSize;       /* 14440 for a JPEG picture */
    uint32_t ThumbWidth;      /* 80 for a JPEG picture */
    uint32_t ThumbHeight;     /* 60 for a JPEG picture */
    uint32_t ImageWidth;
    uint32_t ImageHeight;
    uint32_t ParentObject;
    uint8_t Reserved3[260];
} PACI_OBJECT_INFO;

#define PACI_FORMAT_DEVICE 0xFFFFu
#define PACI_FORMAT_STORAGE 0xF000u
#define PACI_FORMAT_JPEG 0x3801u
#define PACI_FORMAT_BMP 0x3804u

/* The preview: a 40-byte bitmap information header and 80 x 60 BGR pixels,
 * rows bottom-up, unpadded. */
#define PACI_PREVIEW_WIDTH 80u
#define PACI_PREVIEW_HEIGHT 60u
#define PACI_PREVIEW_SIZE 14440u

/* Property value types. */
#define PACI_PROPERTY_NUMBER 0u
#define PACI_PROPERTY_FLAG 1u
#define PACI_PROPERTY_TEXT 2u

/* 328 bytes, little-endian. */
typedef struct PACI_PROPERTY_ENTRY {
    PAV_GUID Set;
    uint32_t Key;
    uint32_t Size;     /* value bytes, at most 128 */
    uint32_t Type;     /* PACI_PROPERTY_NUMBER, _FLAG or _TEXT */
    uint32_t ReadOnly; /* non-zero: read-only */
    uint32_t Reserved1;
    char Name[32];
    uint32_t Reserved2;
    uint8_t Default[128];
    uint8_t Current[128];
} PACI_PROPERTY_ENTRY;

/* Made by PACI_PropertyStreamRead, freed by PACI_PropertyStreamFree. */
typedef struct PACI_PROPERTY_STREAM {
    uint32_t Count; /* 18 */
    PACI_PROPERTY_ENTRY* Entries;
} PACI_PROPERTY_STREAM;

#define PACI_PROPERTY_COUNT 18u

/* Property sets of the stream, and the command set. */
/* {AF318B4A-4AF9-4250-8D18-C9CBF5197BBA}: 1 "Object Format", 3 "Object Size" */
#define PACI_SET_OBJECT {0xAF318B4Au, 0x4AF9u, 0x4250u, {0x8D, 0x18, 0xC9, 0xCB, 0xF5, 0x19, 0x7B, 0xBA}}
/* {F8C391FC-4226-4656-93DA-A02CF754A660}: 0 "Vendor Description", 3 "Device
 * Name", 4 "Firmware Version", 5 "Sensor ID", 7 "50Hz Banding Filter", 19
 * "Firmware PatchID" */
#define PACI_SET_DEVICE {0xF8C391FCu, 0x4226u, 0x4656u, {0x93, 0xDA, 0xA0, 0x2C, 0xF7, 0x54, 0xA6, 0x60}}
/* {DFAC3D5B-9ADB-4669-B79D-1E41A4827BBE}: keys 0 to 7, storage figures */
#define PACI_SET_STORAGE {0xDFAC3D5Bu, 0x9ADBu, 0x4669u, {0xB7, 0x9D, 0x1E, 0x41, 0xA4, 0x82, 0x7B, 0xBE}}
/* {1C6B0076-FA37-48C6-BC4F-F3221A7584B6}: 1 "Image Width", 2 "Image Height" */
#define PACI_SET_IMAGE {0x1C6B0076u, 0xFA37u, 0x48C6u, {0xBC, 0x4F, 0xF3, 0x22, 0x1A, 0x75, 0x84, 0xB6}}
/* {6D1F3579-33E0-4B26-8841-66E78DE6EF9F}: command 0 "Delete Object"
 * (argument 1: the picture, or PACI_ID_DEVICE for every picture) */
#define PACI_SET_COMMAND {0x6D1F3579u, 0x33E0u, 0x4B26u, {0x88, 0x41, 0x66, 0xE7, 0x8D, 0xE6, 0xEF, 0x9F}}
#define PACI_COMMAND_DELETE_OBJECT 0u

PAV512U_API PACI_STATUS PACI_GetVersion(uint16_t* version);
/* The status's name; the empty string for a code without one. */
PAV512U_API PACI_STATUS PACI_GetErrorText(PACI_STATUS status, char* text, uint32_t length);
PAV512U_API PACI_STATUS PACI_CameraEnum(uint32_t vendorId, uint32_t productId,
                                        uint32_t* cameraNumbers, uint32_t capacity,
                                        uint32_t* count);
PAV512U_API PACI_STATUS PACI_CameraNotifyNew(uint32_t vendorId, uint32_t productId,
                                             PAV_EVENT event);
PAV512U_API PACI_STATUS PACI_CameraNotifyWokeSystem(PAV_EVENT event);

/* Camera number 0: the first camera found. */
PAV512U_API PACI_STATUS PACI_HandleOpen(uint32_t cameraNumber, PACI_HANDLE* handle);
/* The imaging service's form: a camera that refuses the connection is passed
 * over for the next one. */
PAV512U_API PACI_STATUS PACI_HandleOpenWIA(uint32_t cameraNumber, PACI_HANDLE* handle);
/* Sets *handle to null. */
PAV512U_API PACI_STATUS PACI_HandleClose(PACI_HANDLE* handle);
/* Holds the camera for several calls; time-out in ms, PAV_INFINITE waits for ever. */
PAV512U_API PACI_STATUS PACI_HandleLock(PACI_HANDLE handle, uint32_t milliseconds);
PAV512U_API PACI_STATUS PACI_HandleUnLock(PACI_HANDLE handle);
PAV512U_API PACI_STATUS PACI_NotificationSet(PACI_HANDLE handle, const PAV_GUID* set, uint32_t id,
                                             PAV_EVENT event);
PAV512U_API PACI_STATUS PACI_NotificationClear(PACI_HANDLE handle, PAV_EVENT event);

/* Children of `parent` (PACI_ID_DEVICE: the storages; 0: the device, the
 * storages and every picture) of `format` (0: any). *total counts them all,
 * however many `ids` holds; ids may be null with capacity 0. */
PAV512U_API PACI_STATUS PACI_ObjectEnum(PACI_HANDLE handle, uint32_t format, PACI_ID parent,
                                        PACI_ID* ids, uint32_t capacity, uint32_t* total);
PAV512U_API PACI_STATUS PACI_GetObjectInfo(PACI_HANDLE handle, PACI_ID id, PACI_OBJECT_INFO* info);
/* Up to PACI_PREVIEW_SIZE bytes of the preview bitmap, header first. */
PAV512U_API PACI_STATUS PACI_ReadPreview(PACI_HANDLE handle, PACI_ID id, void* buffer,
                                         uint32_t length);
/* The whole object; BUFFER_TOO_SMALL when it does not fit. `reserved` is ignored. */
PAV512U_API PACI_STATUS PACI_ReadObject(PACI_HANDLE handle, PACI_ID id, void* buffer,
                                        uint32_t length, uint32_t reserved);
/* PACI_STATUS_MORE_DATA while the object has more; go on with ReadNextBlock. */
PAV512U_API PACI_STATUS PACI_ReadFirstBlock(PACI_HANDLE handle, PACI_ID id, void* buffer,
                                            uint32_t length, uint32_t* delivered);
PAV512U_API PACI_STATUS PACI_ReadNextBlock(PACI_HANDLE handle, void* buffer, uint32_t length,
                                           uint32_t* delivered, uint32_t* deliveredSoFar);
PAV512U_API PACI_STATUS PACI_CancelBlockTransfer(PACI_HANDLE handle);

/* Not supported by the camera: they do nothing and return SUCCESS. */
PAV512U_API PACI_STATUS PACI_WriteObject(PACI_HANDLE handle, PACI_ID parent, const void* buffer,
                                         uint32_t length);
PAV512U_API PACI_STATUS PACI_WriteBlock(PACI_HANDLE handle, const void* buffer, uint32_t length);
PAV512U_API PACI_STATUS PACI_TaskQueryComplete(PACI_HANDLE handle, uint32_t task);
PAV512U_API PACI_STATUS PACI_TaskWaitComplete(PACI_HANDLE handle, uint32_t task,
                                              uint32_t milliseconds);
PAV512U_API PACI_STATUS PACI_TaskAbort(PACI_HANDLE handle, uint32_t task);

/* The 18 properties of `id`, current values read from the camera. */
PAV512U_API PACI_STATUS PACI_PropertyStreamRead(PACI_HANDLE handle, PACI_ID id,
                                                PACI_PROPERTY_STREAM** stream);
/* Sends the stream's writable values; only for PACI_ID_DEVICE. */
PAV512U_API PACI_STATUS PACI_PropertyStreamWrite(PACI_HANDLE handle, PACI_ID id,
                                                 PACI_PROPERTY_STREAM* stream);
PAV512U_API PACI_STATUS PACI_PropertyStreamFree(PACI_HANDLE handle, PACI_PROPERTY_STREAM* stream);
/* `length` must be the entry's size. */
PAV512U_API PACI_STATUS PACI_PropertyGet(PACI_HANDLE handle, PACI_PROPERTY_STREAM* stream,
                                         const PAV_GUID* set, uint32_t key, uint32_t length,
                                         void* value);
/* Changes the first `length` bytes of the stream's copy; nothing is sent. */
PAV512U_API PACI_STATUS PACI_PropertySet(PACI_HANDLE handle, PACI_PROPERTY_STREAM* stream,
                                         const PAV_GUID* set, uint32_t key, uint32_t length,
                                         const void* value);
PAV512U_API PACI_STATUS PACI_PropertyDefault(PACI_HANDLE handle, PACI_PROPERTY_STREAM* stream,
                                             const PAV_GUID* set, uint32_t key);
PAV512U_API PACI_STATUS PACI_Command(PACI_HANDLE handle, const PAV_GUID* set, uint32_t key,
                                     uint32_t argument1, uint32_t argument2);

#ifdef __cplusplus
}
#endif

#endif
