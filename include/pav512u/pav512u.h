/* libpav512u: the camera library. Every export uses the C calling convention,
 * returns a 32-bit status of its family and writes results through the
 * caller's pointers; no C++ exception leaves an export.
 *
 * Event objects: the library's notifications signal events of its own
 * waitable-object model, which the caller makes and waits for with the
 * PAV_* calls below (the library cannot signal a descriptor it did not make).
 */
#ifndef PAV512U_H
#define PAV512U_H

#include <stdint.h>

#if defined(PAV512U_BUILDING)
#define PAV512U_API __attribute__((visibility("default")))
#else
#define PAV512U_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A GUID as the property and event sets are named: 16 bytes, little-endian
 * fields. */
typedef struct PAV_GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} PAV_GUID;

/* An event or other waitable object of the library's model. */
typedef void* PAV_EVENT;

#define PAV_INFINITE 0xFFFFFFFFu
#define PAV_WAIT_OBJECT_0 0x00000000u
#define PAV_WAIT_TIMEOUT 0x00000102u
#define PAV_WAIT_FAILED 0xFFFFFFFFu

/* Null on failure. */
PAV512U_API PAV_EVENT PAV_CreateEvent(int manualReset, int initiallySignalled);
PAV512U_API int PAV_SetEvent(PAV_EVENT event);
PAV512U_API int PAV_ResetEvent(PAV_EVENT event);
/* PAV_WAIT_OBJECT_0, PAV_WAIT_TIMEOUT or PAV_WAIT_FAILED. */
PAV512U_API uint32_t PAV_WaitForEvent(PAV_EVENT event, uint32_t milliseconds);
PAV512U_API int PAV_CloseEvent(PAV_EVENT event);

#ifdef __cplusplus
}
#endif

#endif
