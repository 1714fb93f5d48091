/* The PTP client: Picture Transfer Protocol (ISO 15740) exchanges with the
 * camera's still-image side. A handle owns one control channel and one
 * session of the driver's PTP transport; the transport's lock gives one
 * handle at a time the camera. Each PTPTransfer moves one phase of a PTP
 * transaction (command, data or response); PTPCommand sends a class request
 * of the still-image interface with an optional data phase. */
#ifndef PAV512U_PTP_H
#define PAV512U_PTP_H

#include "pav512u/pav512u.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t PTPSTATUS;

#define PTPSTATUS_SUCCESS 0u
#define PTPSTATUS_INVALID_STATUS 1u
#define PTPSTATUS_BAD_PARAMETER 2u
#define PTPSTATUS_BUFFER_TOO_SMALL 3u
#define PTPSTATUS_BUFFER_TOO_LARGE 4u
#define PTPSTATUS_NULL_POINTER 5u
#define PTPSTATUS_MORE_DATA 6u
#define PTPSTATUS_BULK_FAILED 7u
#define PTPSTATUS_ALLOC_FAILED 8u
#define PTPSTATUS_IMAGE_CORRUPT 9u
#define PTPSTATUS_IMAGE_BAD_SIZE 10u
#define PTPSTATUS_TASK_INVALID 11u
#define PTPSTATUS_TASK_PENDING 12u
#define PTPSTATUS_TASK_ABORT_FAILED 13u
#define PTPSTATUS_TASK_ABORTED 14u
#define PTPSTATUS_INVALID_HANDLE 15u
#define PTPSTATUS_LOCKED 16u
#define PTPSTATUS_LOCK_TIMEDOUT 17u
#define PTPSTATUS_CAMERA_NOT_FOUND 18u
#define PTPSTATUS_CAMERA_IN_USE 19u
#define PTPSTATUS_CAMERA_REMOVED 20u
#define PTPSTATUS_CAMERA_ERROR 21u
#define PTPSTATUS_COMMAND_INVALID 22u
#define PTPSTATUS_COMMAND_FAILED 23u
#define PTPSTATUS_COMMAND_NOT_ATTEMPTED 24u
#define PTPSTATUS_TRANSPORT_FAILED 25u
#define PTPSTATUS_DRIVER_VERSION_MISMATCH 26u
#define PTPSTATUS_NOT_LOCKED 28u

/* A response phase that ends with another PTP response code than OK returns
 * PTPSTATUS_RESPONSE_BASE + that code (0xF0002009 for Invalid_ObjectHandle). */
#define PTPSTATUS_RESPONSE_BASE 0xF0000000u
#define PTP_RESPONSE_OK 0x2001u

/* Transfer kinds: the phases of a PTP transaction. */
#define PTP_TRANSFER_COMMAND 1u  /* the operation's parameters go to the camera */
#define PTP_TRANSFER_DATA 2u     /* data goes to the camera and comes back */
#define PTP_TRANSFER_RESPONSE 3u /* the response comes from the camera */

#define PTP_VERSION 0x0203u
#define PTP_TIMEOUT_INFINITE 0xFFFFFFFFu

/* One phase. A data phase larger than the caller's buffer is read by
 * repeating the same call until chunkOffset + chunkLength reaches
 * totalLength. */
typedef struct PtpTransferBlock {
    uint16_t kind;          /* PTP_TRANSFER_* */
    uint16_t code;          /* in: the operation; out after a response phase: the response */
    uint32_t sessionNumber; /* the PTP session, passed to the camera and returned */
    uint32_t totalLength;   /* out: the size of the whole data of the phase */
    uint32_t chunkLength;   /* out: the bytes of this call */
    uint32_t chunkOffset;   /* out: where this call's bytes lie within the whole */
} PtpTransferBlock;

/* A class request of the still-image interface (for example 0x64 Cancel). */
typedef struct PtpCommandBlock {
    uint8_t requestCode; /* in; out: the byte returned in its place */
    uint8_t reserved1[3];
    uint32_t direction;    /* 0: data goes to the camera; non-zero: it comes from the camera */
    uint16_t commandValue; /* carried to the camera as it is */
    uint16_t reserved2;
    uint32_t dataLength; /* out: the bytes moved */
} PtpCommandBlock;

typedef struct PTP_HANDLE_S* PTP_HANDLE;

/* "Unknown Error Code" and 1 for a status without a name, else the name and
 * 0; at most `length` bytes, always terminated. */
PAV512U_API PTPSTATUS PTPGetErrorText(PTPSTATUS status, char* text, uint32_t length);
/* cameraNumber 0: the first camera found. *cameraOpened (optional) gets the
 * number opened, 0 on failure; *handle is null on failure. */
PAV512U_API PTPSTATUS PTPHandleOpen(uint8_t cameraNumber, uint8_t* cameraOpened,
                                    PTP_HANDLE* handle);
PAV512U_API PTPSTATUS PTPHandleClose(PTP_HANDLE handle);
/* Takes the driver's PTP lock, trying until `timeoutMs` has passed (at least
 * once; PTP_TIMEOUT_INFINITE: for ever). */
PAV512U_API PTPSTATUS PTPHandleLock(PTP_HANDLE handle, uint32_t timeoutMs);
PAV512U_API PTPSTATUS PTPHandleUnlock(PTP_HANDLE handle);
/* Kinds 1 and 2 send `length` bytes of `buffer`; kinds 2 and 3 return this
 * call's bytes in it. Needs the lock: NOT_LOCKED when nobody holds it,
 * LOCKED when another handle does. */
PAV512U_API PTPSTATUS PTPTransfer(PTP_HANDLE handle, PtpTransferBlock* block, uint32_t length,
                                  void* buffer);
PAV512U_API PTPSTATUS PTPCommand(PTP_HANDLE handle, PtpCommandBlock* block, uint32_t length,
                                 void* buffer);
/* Does nothing; 0. */
PAV512U_API PTPSTATUS PTPWaitEvent(void);

#ifdef __cplusplus
}
#endif

#endif
