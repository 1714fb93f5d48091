/* The command transport: a session on one camera, a lock that serialises the
 * camera between sessions (or between threads of one session), and camera
 * commands with an optional data phase, sent synchronously or as tasks that
 * the caller completes later. A command is one vendor control request of the
 * camera's command set; a data phase is one bulk transfer from or to it. */
#ifndef PAV512U_CTI_H
#define PAV512U_CTI_H

#include "pav512u/pav512u.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t CTISTATUS;

#define CTISTATUS_SUCCESS 0x00u
#define CTISTATUS_INVALID_STATUS 0x01u
#define CTISTATUS_BAD_PARAMETER 0x02u
#define CTISTATUS_BUFFER_TOO_SMALL 0x03u
#define CTISTATUS_BUFFER_TOO_LARGE 0x04u
#define CTISTATUS_NULL_POINTER 0x05u
#define CTISTATUS_MORE_DATA 0x06u
#define CTISTATUS_BULK_FAILED 0x07u
#define CTISTATUS_ALLOC_FAILED 0x08u
#define CTISTATUS_IMAGE_CORRUPT 0x09u
#define CTISTATUS_IMAGE_BAD_SIZE 0x0Au
#define CTISTATUS_TASK_INVALID 0x10u
#define CTISTATUS_TASK_PENDING 0x11u
#define CTISTATUS_TASK_ABORT_FAILED 0x12u
#define CTISTATUS_TASK_ABORTED 0x13u
#define CTISTATUS_INVALID_HANDLE 0x20u
#define CTISTATUS_LOCKED 0x21u
#define CTISTATUS_LOCK_TIMEDOUT 0x22u
#define CTISTATUS_CAMERA_NOT_FOUND 0x30u
#define CTISTATUS_CAMERA_IN_USE 0x31u
#define CTISTATUS_CAMERA_REMOVED 0x32u
#define CTISTATUS_CAMERA_ERROR 0x33u
#define CTISTATUS_COMMAND_INVALID 0x40u
#define CTISTATUS_COMMAND_FAILED 0x41u
#define CTISTATUS_COMMAND_NOT_ATTEMPTED 0x42u
#define CTISTATUS_TRANSPORT_FAILED 0x43u
#define CTISTATUS_DRIVER_VERSION_MISMATCH 0x2000u

#define CTI_VERSION 0x0203u

/* CtiHandleOpen modes. */
#define CTI_MODE_EXCLUSIVE 0
#define CTI_MODE_SHARED 1

/* Time-out that never ends. */
#define CTI_WAIT_FOREVER 0xFFFFFFFFu

/* A session on one camera, and a command under way. Both are the library's;
 * a task belongs to its caller until a query, wait or abort completes it. */
typedef struct CtiHandle CtiHandle;
typedef struct CtiTask CtiTask;

/* One vendor request. Bit 7 of the request number set: the data comes from
 * the camera, into `data` (up to `dataLength` bytes). */
typedef struct CtiCommandBlock {
    uint8_t request;
    uint8_t unused;
    uint8_t valueHigh;
    uint8_t valueLow;
    void* data; /* may be null only when dataLength is 0 */
    uint32_t dataLength;
    uint32_t returnedLength; /* out */
    CTISTATUS status;        /* out */
    struct CtiCommandBlock* next;
} CtiCommandBlock;

/* The same with a request index; the low byte of `request` is sent. */
typedef struct CtiIndexedCommandBlock {
    uint32_t request;
    uint8_t valueHigh;
    uint8_t valueLow;
    uint8_t indexHigh;
    uint8_t indexLow;
    void* data;
    uint32_t dataLength;
    uint32_t returnedLength; /* out */
    CTISTATUS status;        /* out */
    struct CtiIndexedCommandBlock* next;
} CtiIndexedCommandBlock;

PAV512U_API CTISTATUS CtiGetVersion(uint32_t reserved, uint16_t* version);
/* Copies at most `length` bytes of the status's name (always terminated);
 * INVALID_STATUS, with "Unknown Error Code", for a status of no name. */
PAV512U_API CTISTATUS CtiGetErrorText(uint32_t reserved, CTISTATUS status, char* text,
                                      uint32_t length);
PAV512U_API CTISTATUS CtiCameraEnum(uint16_t vendorId, uint16_t productId, uint8_t capacity,
                                    uint8_t* cameraNumbers, uint8_t* count);
PAV512U_API CTISTATUS CtiCameraNameGet(uint8_t cameraNumber, uint32_t length, char* name);
/* At most 31 characters. */
PAV512U_API CTISTATUS CtiCameraNameSet(uint8_t cameraNumber, uint32_t length, const char* name);

/* Camera number 0: the first camera that accepts the session. `cameraOpened`
 * (may be null) receives the number, or 0 when nothing opened. */
PAV512U_API CTISTATUS CtiHandleOpen(int32_t mode, uint8_t cameraNumber, uint8_t* cameraOpened,
                                    CtiHandle** handle);
PAV512U_API CTISTATUS CtiHandleClose(CtiHandle* handle);
PAV512U_API CTISTATUS CtiHandleLock(CtiHandle* handle, uint32_t timeoutMs);
PAV512U_API CTISTATUS CtiHandleLockThread(CtiHandle* handle, uint32_t timeoutMs);
PAV512U_API CTISTATUS CtiHandleUnLock(CtiHandle* handle);

/* With `task` null the call waits (up to 5 s, then aborts the command);
 * otherwise it returns at once and *task names the command under way. */
PAV512U_API CTISTATUS CtiCommand(CtiHandle* handle, CtiCommandBlock* list, CtiTask** task);
PAV512U_API CTISTATUS CtiCommandWithIndex(CtiHandle* handle, CtiIndexedCommandBlock* list,
                                          CtiTask** task);
PAV512U_API CTISTATUS CtiDataRead(CtiHandle* handle, void* buffer, uint32_t length,
                                  uint32_t* returned, CtiTask** task);
PAV512U_API CTISTATUS CtiDataWrite(CtiHandle* handle, const void* buffer, uint32_t length,
                                   uint32_t* returned, CtiTask** task);
PAV512U_API CTISTATUS CtiCommandWithDataRead(CtiHandle* handle, CtiCommandBlock* list,
                                             void* buffer, uint32_t length, uint32_t* returned,
                                             CtiTask** task);
PAV512U_API CTISTATUS CtiCommandWithDataWrite(CtiHandle* handle, CtiCommandBlock* list,
                                              const void* buffer, uint32_t length,
                                              uint32_t* returned, CtiTask** task);

/* TASK_PENDING while under way; otherwise the task's final status, the task
 * is freed and *task set to null. */
PAV512U_API CTISTATUS CtiTaskQueryComplete(CtiTask** task);
PAV512U_API CTISTATUS CtiTaskWaitComplete(CtiTask** task, uint32_t timeoutMs);
PAV512U_API CTISTATUS CtiTaskAbort(CtiTask** task);
/* Aborts every task of the session. */
PAV512U_API CTISTATUS CtiResetTransport(CtiHandle* handle);

#ifdef __cplusplus
}
#endif

#endif
