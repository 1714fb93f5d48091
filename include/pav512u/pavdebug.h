/* The diagnostic interface for service tools: the driver's diagnostic version
 * and trace flags, raw vendor requests, bulk transfers and interface
 * selection, the device identifiers, the driver's property and notification
 * descriptors, and the camera-number registry. It works on raw control
 * channels (PAVDebug_OpenDevice) instead of session handles. */
#ifndef PAV512U_PAVDEBUG_H
#define PAV512U_PAVDEBUG_H

#include "pav512u/pav512u.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t PAVDEBUG_STATUS;

#define PAVDEBUG_STATUS_SUCCESS 0x0000u
#define PAVDEBUG_STATUS_BAD_PARAMETER 0x1000u
#define PAVDEBUG_STATUS_BUFFER_TOO_SMALL 0x1001u
#define PAVDEBUG_STATUS_NOT_IMPLEMENTED 0x1002u
#define PAVDEBUG_STATUS_ALLOC_FAILED 0x1003u
#define PAVDEBUG_STATUS_OPERATION_FAILED 0x1004u
#define PAVDEBUG_STATUS_DRIVER_NOT_FOUND 0x2000u
#define PAVDEBUG_STATUS_DEVICE_NOT_FOUND 0x2001u
#define PAVDEBUG_STATUS_DEVICE_REMOVED 0x2002u
#define PAVDEBUG_STATUS_INVALID_HANDLE 0x2003u
#define PAVDEBUG_STATUS_RELEASE_DRIVER 0x2004u
#define PAVDEBUG_STATUS_UNKNOWN_FLAG 0x3000u
#define PAVDEBUG_STATUS_UNKNOWN_CODE 0x3001u
#define PAVDEBUG_STATUS_VERSION_MISMATCH 0x3002u
#define PAVDEBUG_STATUS_UNKNOWN_FLAG_BLOCK 0x3004u

#define PAVDEBUG_VERSION 0x0203u

/* A control channel to one camera. */
typedef void* PAVDEBUG_CHANNEL;
#define PAVDEBUG_INVALID_CHANNEL ((PAVDEBUG_CHANNEL)(intptr_t)-1)

/* Room for a device path and its terminator. */
#define PAVDEBUG_PATH_LENGTH 260u
/* A property or notification descriptor of the driver. */
#define PAVDEBUG_DESCRIPTOR_LENGTH 68u

PAV512U_API PAVDEBUG_STATUS PAVDebug_GetStatusText(PAVDEBUG_STATUS status, char* text,
                                                   uint32_t length);
/* Checks the driver of the first camera; every pointer may be null. The text
 * needs 14 bytes. */
PAV512U_API PAVDEBUG_STATUS PAVDebug_GetVersion(uint16_t* version, uint32_t* build, char* text,
                                                uint32_t textLength);
/* Counts every camera that opens; stores at most `capacity` numbers. */
PAV512U_API PAVDEBUG_STATUS PAVDebug_EnumDevices(uint32_t* cameraNumbers, uint32_t capacity,
                                                 uint32_t* count);
/* Camera numbers 1 to 255. */
PAV512U_API PAVDEBUG_STATUS PAVDebug_OpenDevice(uint32_t cameraNumber, PAVDEBUG_CHANNEL* channel);
PAV512U_API PAVDEBUG_STATUS PAVDebug_CloseDevice(PAVDEBUG_CHANNEL* channel);
PAV512U_API PAVDEBUG_STATUS PAVDebug_DeviceIDGet(PAVDEBUG_CHANNEL channel, uint32_t* vendorId,
                                                 uint32_t* productId);
/* `length` at least PAVDEBUG_PATH_LENGTH. */
PAV512U_API PAVDEBUG_STATUS PAVDebug_GetConnectionString(uint32_t cameraNumber, char* path,
                                                         uint32_t length);
/* The number a path not yet registered would receive; a registered path
 * gives 0 and OPERATION_FAILED. */
PAV512U_API PAVDEBUG_STATUS PAVDebug_GetConnectionID(uint32_t* cameraNumber, const char* path);
PAV512U_API PAVDEBUG_STATUS PAVDebug_USB_Set_Interface(PAVDEBUG_CHANNEL channel,
                                                       uint8_t interfaceNumber,
                                                       uint8_t alternateSetting);
/* Direction nonzero: the data comes from the camera into `buffer`. */
PAV512U_API PAVDEBUG_STATUS PAVDebug_USB_Command(PAVDEBUG_CHANNEL channel, uint32_t direction,
                                                 uint8_t request, uint16_t value, void* buffer,
                                                 uint16_t length);
PAV512U_API PAVDEBUG_STATUS PAVDebug_Command(PAVDEBUG_CHANNEL channel, uint32_t direction,
                                             uint8_t request, uint16_t value, void* buffer,
                                             uint16_t length);
PAV512U_API PAVDEBUG_STATUS PAVDebug_USB_Transfer(PAVDEBUG_CHANNEL channel, uint8_t endpoint,
                                                  void* buffer, uint32_t length,
                                                  uint32_t timeoutMs);
/* Blocks 0 to 4 are the library's own (not in this build); 5 and up are the
 * driver's blocks 0 and up. */
PAV512U_API PAVDEBUG_STATUS PAVDebug_GetFlagBlockName(uint32_t block, char* name, uint32_t length);
PAV512U_API PAVDEBUG_STATUS PAVDebug_GetFlagName(uint32_t block, uint32_t flag, char* name,
                                                 uint32_t length);
PAV512U_API PAVDEBUG_STATUS PAVDebug_GetFlagInfo(uint32_t block, uint32_t flag, uint32_t* value);
PAV512U_API PAVDEBUG_STATUS PAVDebug_SetFlagInfo(uint32_t block, uint32_t flag, uint32_t value);
/* An invalid channel: the first camera, for this one request. */
PAV512U_API PAVDEBUG_STATUS PAVDebug_GetPropertyDescriptor(PAVDEBUG_CHANNEL channel, uint32_t index,
                                                           void* descriptor);
PAV512U_API PAVDEBUG_STATUS PAVDebug_GetNotificationDescriptor(PAVDEBUG_CHANNEL channel,
                                                               uint32_t index, void* descriptor);
PAV512U_API PAVDEBUG_STATUS PAVDebug_GetPropertyInformation(PAVDEBUG_CHANNEL channel,
                                                            uint32_t index, void* buffer,
                                                            uint32_t length);

#ifdef __cplusplus
}
#endif

#endif
