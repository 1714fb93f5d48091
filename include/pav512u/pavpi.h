/* The video property interface: camera properties by property set and
 * identifier, driver events, camera enumeration, new-camera and woke-system
 * notifications, and the video-capture (VfW) lock that one process at a time
 * holds, system-wide. */
#ifndef PAV512U_PAVPI_H
#define PAV512U_PAVPI_H

#include "pav512u/pav512u.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t PAVPI_STATUS;

#define PAVPI_STATUS_SUCCESS 0x00u
#define PAVPI_STATUS_INVALID_STATUS 0x01u
#define PAVPI_STATUS_BAD_PARAMETER 0x02u
#define PAVPI_STATUS_BUFFER_TOO_SMALL 0x03u
#define PAVPI_STATUS_BUFFER_TOO_LARGE 0x04u
#define PAVPI_STATUS_NULL_POINTER 0x05u
#define PAVPI_STATUS_ALLOC_FAILED 0x06u
#define PAVPI_STATUS_DRIVER_VERSION_MISMATCH 0x07u
#define PAVPI_STATUS_ALREADY_LOCKED 0x08u
#define PAVPI_STATUS_NOT_IMPLEMENTED 0x09u
#define PAVPI_STATUS_CAMERA_NOT_FOUND 0x10u
#define PAVPI_STATUS_CAMERA_REMOVED 0x11u
#define PAVPI_STATUS_CAMERA_ERROR 0x12u
#define PAVPI_STATUS_BAD_GUID 0x20u
#define PAVPI_STATUS_BAD_ID 0x21u
#define PAVPI_STATUS_IN_USE 0x30u

#define PAVPI_VERSION 0x0203u

/* A property handle: one camera, its own control channel. */
typedef struct PAVPI_HANDLE_S* PAVPI_HANDLE;

PAV512U_API PAVPI_STATUS PAVPI_GetVersion(uint16_t* version);
PAV512U_API PAVPI_STATUS PAVPI_GetErrorText(PAVPI_STATUS status, char* text, uint32_t length);
/* Both ids 0: every camera. Counts every match, stores at most `capacity`. */
PAV512U_API PAVPI_STATUS PAVPI_CameraEnum(uint32_t vendorId, uint32_t productId,
                                          uint32_t* cameraNumbers, uint32_t capacity,
                                          uint32_t* count);
PAV512U_API PAVPI_STATUS PAVPI_CameraNotifyNew(uint32_t vendorId, uint32_t productId,
                                               PAV_EVENT event);
PAV512U_API PAVPI_STATUS PAVPI_CameraNotifyWokeSystem(PAV_EVENT event);
PAV512U_API PAVPI_STATUS PAVPI_HandleOpen(uint32_t cameraNumber, PAVPI_HANDLE* handle);
PAV512U_API PAVPI_STATUS PAVPI_HandleClose(PAVPI_HANDLE* handle);
PAV512U_API PAVPI_STATUS PAVPI_HandleLockVfWOpen(PAVPI_HANDLE handle);
PAV512U_API PAVPI_STATUS PAVPI_HandleUnLockVfWOpen(PAVPI_HANDLE handle);
PAV512U_API PAVPI_STATUS PAVPI_HandleAbortVfW(PAVPI_HANDLE handle);
PAV512U_API PAVPI_STATUS PAVPI_PropertySet(PAVPI_HANDLE handle, const PAV_GUID* set, uint32_t id,
                                           uint32_t size, void* value);
PAV512U_API PAVPI_STATUS PAVPI_PropertyGet(PAVPI_HANDLE handle, const PAV_GUID* set, uint32_t id,
                                           uint32_t size, void* value);
PAV512U_API PAVPI_STATUS PAVPI_PropertyDefault(PAVPI_HANDLE handle, const PAV_GUID* set,
                                               uint32_t id);
PAV512U_API PAVPI_STATUS PAVPI_NotificationSet(PAVPI_HANDLE handle, const PAV_GUID* set,
                                               uint32_t id, PAV_EVENT event);
PAV512U_API PAVPI_STATUS PAVPI_NotificationClear(PAVPI_HANDLE handle, PAV_EVENT event);

#ifdef __cplusplus
}
#endif

#endif
