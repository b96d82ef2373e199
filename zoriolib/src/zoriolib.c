/*
 * The library's interface, discovery, output commands and read transaction.
 * Everything here is host-independent; the platform is reached only through
 * host.h.
 */
#include <stdlib.h>
#include <string.h>

#include "host.h"
#include "wire.h"
#include "zoriolib.h"

enum {
    kMaxInterfaceIndex = 256,
    kBoardVendorId = 0xFF00,
    kBoardProductId = 0xFF00,
    kBoardVersionNumber = 0x0001
};

_Static_assert(sizeof(OutputReport) == kReportSize, "reports are 3 bytes on the wire");
_Static_assert(sizeof(InputReport) == kReportSize, "reports are 3 bytes on the wire");
#if defined(_WIN32) && !defined(_WIN64)
_Static_assert(sizeof(ZorDevice) == 12, "existing 32-bit clients rely on the record's layout");
#endif

static int gReady;

void *ZorDetailNew(uint32_t size, uint32_t fixedSize)
{
    if (size < fixedSize + 1u)
        return NULL;
    void *detail = malloc(size);
    if (detail != NULL)
        memcpy(detail, &fixedSize, sizeof fixedSize);
    return detail;
}

/* The buffer, not the handle, marks an open record: a zero-filled record has
 * handle 0, which is a valid descriptor on POSIX hosts. */
static int IsOpen(const ZorDevice *device)
{
    return device->interfaceDetail != NULL && device->handle != -1;
}

static void Release(ZorDevice *device)
{
    if (IsOpen(device))
        ZorHostClose(device->handle);
    free(device->interfaceDetail);
    device->handle = -1;
    device->interfaceDetail = NULL;
}

static intptr_t OpenDeviceByIndex(uint32_t index, ZorDevice *device)
{
    device->handle = ZorHostOpenIndex(index, &device->interfaceDetail);
    return device->handle;
}

static int IsBoard(const ZorAttributes *a)
{
    return a->vendorId == kBoardVendorId && a->productId == kBoardProductId &&
           a->versionNumber == kBoardVersionNumber;
}

static intptr_t FindZorDevice(uint32_t start, ZorDevice *device)
{
    if (start >= kMaxInterfaceIndex)
        return -1;
    if (!gReady) {
        device->handle = -1;
        device->interfaceDetail = NULL;
        return -1;
    }
    for (uint32_t index = start; index < kMaxInterfaceIndex; ++index) {
        if (OpenDeviceByIndex(index, device) == -1)
            continue;
        ZorAttributes attributes;
        if (!ZorHostAttributes(device->handle, index, &attributes)) {
            Release(device);
            return -1;
        }
        if (IsBoard(&attributes)) {
            device->interfaceIndex = index;
            return device->handle;
        }
        Release(device);
    }
    return -1;
}

void InitZorLibraries(void)
{
    gReady = ZorHostInit();
}

intptr_t OpenFirstZorDevice(ZorDevice *device)
{
    return FindZorDevice(0, device);
}

intptr_t OpenNextZorDevice(const ZorDevice *previous, ZorDevice *next)
{
    uint32_t index = previous->interfaceIndex;
    /* index + 1 would wrap to 0 for the largest index and rescan everything. */
    if (index >= kMaxInterfaceIndex - 1)
        return -1;
    return FindZorDevice(index + 1, next);
}

void CloseZorDevice(ZorDevice *device)
{
    Release(device);
}

static int32_t Send(ZorDevice *device, OutputReport report)
{
    if (!IsOpen(device))
        return 0;
    return ZorHostWrite(device->handle, &report);
}

int32_t SetDataBit(ZorDevice *device, uint8_t port, uint8_t bit, uint8_t value)
{
    return Send(device, value ? ZorOutputReport(port, DataBitSet, ZorInvertedMask(bit))
                              : ZorOutputReport(port, DataBitClear, ZorMask(bit)));
}

int32_t SetPullupBit(ZorDevice *device, uint8_t port, uint8_t bit, uint8_t value)
{
    return Send(device, value ? ZorOutputReport(port, PullupBitSet, ZorInvertedMask(bit))
                              : ZorOutputReport(port, PullupBitClear, ZorMask(bit)));
}

int32_t SetISink(ZorDevice *device, uint8_t port, uint8_t pin, uint8_t intensity)
{
    return Send(device, ZorOutputReport(port, ISinkLevel, ZorISinkArgument(pin, intensity)));
}

uint8_t ReadDataBit(ZorDevice *device, uint8_t port, uint8_t bit)
{
    if (!IsOpen(device))
        return 0;
    InputReport received = {0, 0, 0};
    /* Whatever this first read gives, or leaves, only decides the opcode: a
     * failed or timed-out read still leads to the request. */
    (void)ZorHostRead(device->handle, &received);
    OutputReport request = ZorReadRequest(received.command, port, bit);
    (void)Send(device, request);
    for (int i = 0; i < kReadPollLimit; ++i) {
        ZorReadResult result = ZorHostRead(device->handle, &received);
        if (result == ZorReadEnded)
            return 0;
        if (result == ZorReadOk && received.command == request.command)
            return received.value != 0;
    }
    return 0;
}
