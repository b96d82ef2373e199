/*
 * zoriolib: access to the ZOR USB digital I/O board.
 *
 * Order of use: InitZorLibraries, then OpenFirstZorDevice (and
 * OpenNextZorDevice to go on), then pin commands, then CloseZorDevice once
 * for every successful open. Every call is synchronous on the caller's
 * thread; the library starts no threads and takes no locks, so a record is
 * used by one thread at a time. The library writes no messages and keeps no
 * error state: each function's result is its only report.
 */
#ifndef ZORIOLIB_H
#define ZORIOLIB_H

#include <stdint.h>

#if defined(_WIN32)
   /* The library's .def file names the exports (with their ordinals), so the
    * build itself marks nothing. */
#  if defined(ZORIOLIB_BUILD)
#    define ZOR_API
#  else
#    define ZOR_API __declspec(dllimport)
#  endif
#  define ZOR_CALL __cdecl
#else
#  define ZOR_API __attribute__((visibility("default")))
#  define ZOR_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The device record. The client allocates it (zero-filled is fine) and passes
 * its address to every call; only the library writes its fields. Its layout
 * crosses the library boundary and must not change: on 32-bit Windows it is
 * three 32-bit fields, 12 bytes.
 */
typedef struct ZorDevice {
    /* The open device's handle (a Windows HANDLE or a POSIX file descriptor);
     * -1 when the record holds no open device. */
    intptr_t handle;
    /* Owned by the record from a successful open until CloseZorDevice: a
     * 32-bit size word followed by the NUL-terminated device path. */
    void *interfaceDetail;
    /* Enumeration index of the open device; written only when a device is
     * found, kept by close and by a failed scan. */
    uint32_t interfaceIndex;
} ZorDevice;

/* Loads the host's HID support. Call once before anything else; further
 * calls return at once once it has succeeded, and a failed load is retried on
 * the next call. Until it has succeeded both open functions return -1. */
ZOR_API void ZOR_CALL InitZorLibraries(void);

/* Scans the host's HID interfaces from index 0 for the board (vendor 0xFF00,
 * product 0xFF00, release 0x0001) and opens the first one into `device`,
 * which must hold no open device. Returns the handle, or -1 when none is
 * found, leaving `handle` = -1 and no buffer. Interfaces that cannot be
 * opened are skipped; an opened interface whose identity cannot be read ends
 * the scan with -1. */
ZOR_API intptr_t ZOR_CALL OpenFirstZorDevice(ZorDevice *device);

/* Goes on scanning after previous->interfaceIndex and opens the next board
 * into `next`; same results as OpenFirstZorDevice. `previous` may be open,
 * closed, or the same record as `next` once closed. When the previous index
 * is 255 or more, returns -1 and leaves `next` as it was. */
ZOR_API intptr_t ZOR_CALL OpenNextZorDevice(const ZorDevice *previous, ZorDevice *next);

/* Closes the device and releases the record's buffer, then sets `handle` to
 * -1 and `interfaceDetail` to NULL, so a second close or a command on the
 * closed record fails harmlessly. `interfaceIndex` is kept, so the record
 * can be passed to OpenNextZorDevice as `previous`. */
ZOR_API void ZOR_CALL CloseZorDevice(ZorDevice *device);

/* The three output commands send one report and do not wait for an answer.
 * Each returns nonzero when the whole report was written, 0 when the write
 * failed (for instance on a record whose handle is -1). Ports are 0 to 15 and
 * bits 0 to 7: a port above 15 loses its high bits, a bit from 8 to 31
 * selects no pin, and a bit above 31 counts modulo 32. */

/* Sets (value nonzero) or clears (value 0) a pin's data bit. */
ZOR_API int32_t ZOR_CALL SetDataBit(ZorDevice *device, uint8_t port, uint8_t bit, uint8_t value);

/* Sets (value nonzero) or clears (value 0) a pin's pull-up bit. */
ZOR_API int32_t ZOR_CALL SetPullupBit(ZorDevice *device, uint8_t port, uint8_t bit, uint8_t value);

/* Sets the current-sink intensity (0 to 15) of pin `pin` (0 to 7) of a port. */
ZOR_API int32_t ZOR_CALL SetISink(ZorDevice *device, uint8_t port, uint8_t pin, uint8_t intensity);

/* Reads a pin: sends a read request and watches the board's reports for its
 * answer. Returns 1 when the board reports the pin high, 0 when it reports it
 * low, and 0 when no answer came within 1024 reports after the request, or
 * (on Linux) when the board sent nothing for a second or was unplugged. */
ZOR_API uint8_t ZOR_CALL ReadDataBit(ZorDevice *device, uint8_t port, uint8_t bit);

#ifdef __cplusplus
}
#endif

#endif
