/* libpavscale: scales 24-bit pixel areas (3 bytes a pixel, rows not padded,
 * both in the same row order) from one size to another. Every call returns 0
 * on success. The handle slot is the caller's pointer-sized variable: open
 * fills it, process and close take its address again, close empties it. */
#ifndef PAVSCALE_H
#define PAVSCALE_H

#include <stdint.h>

#define PAVSCALE_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

#define PAVSCALE_OK 0u
#define PAVSCALE_BAD_PARAMETER 1u   /* a null slot or buffer, a side of 0 or past 65535 */
#define PAVSCALE_ALLOC_FAILED 2u
#define PAVSCALE_BAD_HANDLE 3u      /* the slot holds no handle of ours */
#define PAVSCALE_BUFFER_TOO_SMALL 4u /* fewer bytes than the open's sizes need */

PAVSCALE_API uint32_t PAVScaleHandleOpen(void** slot, uint32_t sourceWidth, uint32_t sourceHeight,
                                         uint32_t targetWidth, uint32_t targetHeight);
PAVSCALE_API uint32_t PAVScaleProcess(void** slot, const uint8_t* source, uint32_t sourceBytes,
                                      uint8_t* target, uint32_t targetBytes);
PAVSCALE_API uint32_t PAVScaleHandleClose(void** slot);

#ifdef __cplusplus
}
#endif

#endif
