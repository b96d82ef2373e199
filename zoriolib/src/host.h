/*
 * The host contract: everything the library needs from the platform's HID
 * support. One source file per host implements it (host_windows.c,
 * host_linux.c), chosen at build time; the shared code in zoriolib.c calls
 * nothing else of the platform.
 */
#ifndef ZOR_HOST_H
#define ZOR_HOST_H

#include <stdint.h>

#include "wire.h"
#include "zoriolib.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The identity a host reads from an opened interface. */
typedef struct ZorAttributes {
    uint16_t vendorId;
    uint16_t productId;
    uint16_t versionNumber;
} ZorAttributes;

/* Outcome of one report read. */
typedef enum ZorReadResult {
    ZorReadOk,     /* a report is in the buffer */
    ZorReadFailed, /* no report this time; the buffer is unchanged */
    ZorReadEnded   /* no report will come (unplugged, or silent past the
                    * host's time-out); the buffer is unchanged */
} ZorReadResult;

/* Binds the host's HID support. Returns nonzero once the other operations may
 * be called; called again after a failure, it tries again. */
int ZorHostInit(void);

/* Opens the HID interface with enumeration index `index`. On success returns
 * its handle and sets *detail to a buffer from ZorDetailNew holding the
 * interface's path; the caller owns both. On failure (no interface at that
 * index, no path, the open failed) returns -1 with *detail NULL, having
 * released everything it acquired. */
intptr_t ZorHostOpenIndex(uint32_t index, void **detail);

/* Reads the identity of the interface opened from `index` as `handle`.
 * Returns 0 when it cannot be read. */
int ZorHostAttributes(intptr_t handle, uint32_t index, ZorAttributes *out);

void ZorHostClose(intptr_t handle);

/* Sends one report, all 3 bytes in one write. Returns nonzero when the whole
 * report was written. */
int32_t ZorHostWrite(intptr_t handle, const OutputReport *report);

/* Receives the next input report, waiting when none is pending; pending
 * reports are never skipped. Anything but ZorReadOk leaves `report` as it
 * was. */
ZorReadResult ZorHostRead(intptr_t handle, InputReport *report);

/* Shared helper for the hosts: a detail buffer of `size` bytes whose 32-bit
 * size word is `fixedSize`, the size of the host's fixed part. Returns NULL
 * when `size` cannot hold the fixed part and at least one path byte, or when
 * the allocation fails. Released with free(). */
void *ZorDetailNew(uint32_t size, uint32_t fixedSize);

#ifdef __cplusplus
}
#endif

#endif
