/*
 * Linux host: interfaces are the hidraw nodes, identified through sysfs.
 *
 * Only open, read, readlink, realpath on /sys paths and poll are used: they
 * behave the same on a real machine and under a faked sysfs and /dev.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "host.h"

enum {
    /* Size word plus one path byte, as the 32-bit Windows record. */
    kDetailFixedSize = 5,
    /* The longest wait for one report: a silent board must not hang the
     * caller forever. */
    kReadTimeoutMs = 1000
};

/* Reads a small text file whole, NUL-terminated. Returns 0 on failure. */
static int ReadText(const char *path, char *text, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    size_t used = 0;
    while (used + 1 < size) {
        ssize_t n = read(fd, text + used, size - 1 - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        used += (size_t)n;
    }
    close(fd);
    text[used] = '\0';
    return used > 0;
}

/* Finds KEY=value in a uevent file; the value is copied without its newline. */
static int UeventValue(const char *dir, const char *key, char *value, size_t size)
{
    char path[PATH_MAX];
    char text[4096];
    if (snprintf(path, sizeof path, "%s/uevent", dir) >= (int)sizeof path ||
        !ReadText(path, text, sizeof text))
        return 0;
    size_t keyLength = strlen(key);
    for (char *line = text; line != NULL && *line != '\0';) {
        char *end = strchr(line, '\n');
        if (end != NULL)
            *end = '\0';
        if (strncmp(line, key, keyLength) == 0 && line[keyLength] == '=') {
            if (snprintf(value, size, "%s", line + keyLength + 1) >= (int)size)
                return 0;
            return 1;
        }
        line = end != NULL ? end + 1 : NULL;
    }
    return 0;
}

static int ReadHex(const char *dir, const char *name, unsigned long *value)
{
    char path[PATH_MAX];
    char text[32];
    if (snprintf(path, sizeof path, "%s/%s", dir, name) >= (int)sizeof path ||
        !ReadText(path, text, sizeof text))
        return 0;
    char *end;
    errno = 0;
    *value = strtoul(text, &end, 16);
    return errno == 0 && end != text;
}

static int HasSubsystem(const char *dir, const char *subsystem)
{
    char path[PATH_MAX];
    char target[PATH_MAX];
    if (snprintf(path, sizeof path, "%s/subsystem", dir) >= (int)sizeof path)
        return 0;
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = '\0';
    const char *base = strrchr(target, '/');
    return strcmp(base != NULL ? base + 1 : target, subsystem) == 0;
}

/* Cuts the last component off a sysfs path; 0 once at /sys/devices. */
static int ToParent(char *dir)
{
    char *slash = strrchr(dir, '/');
    if (slash == NULL || slash == dir)
        return 0;
    *slash = '\0';
    return strcmp(dir, "/sys/devices") != 0 && strcmp(dir, "/sys") != 0;
}

int ZorHostInit(void)
{
    return 1;
}

intptr_t ZorHostOpenIndex(uint32_t index, void **detail)
{
    *detail = NULL;
    char dir[64];
    char name[NAME_MAX + 1];
    char node[sizeof "/dev/" + NAME_MAX];
    snprintf(dir, sizeof dir, "/sys/class/hidraw/hidraw%u", index);
    if (!UeventValue(dir, "DEVNAME", name, sizeof name))
        return -1;
    snprintf(node, sizeof node, "/dev/%s", name);
    size_t length = strlen(node);
    char *buffer = ZorDetailNew((uint32_t)(sizeof(uint32_t) + length + 1), kDetailFixedSize);
    if (buffer == NULL)
        return -1;
    memcpy(buffer + sizeof(uint32_t), node, length + 1);
    int fd = open(node, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        free(buffer);
        return -1;
    }
    *detail = buffer;
    return fd;
}

int ZorHostAttributes(intptr_t handle, uint32_t index, ZorAttributes *out)
{
    (void)handle;
    char link[64];
    char dir[PATH_MAX];
    snprintf(link, sizeof link, "/sys/class/hidraw/hidraw%u", index);
    if (realpath(link, dir) == NULL)
        return 0;

    int found = 0;
    while (!found && ToParent(dir)) {
        if (!HasSubsystem(dir, "hid"))
            continue;
        char id[64];
        unsigned bus, vendor, product;
        if (!UeventValue(dir, "HID_ID", id, sizeof id) ||
            sscanf(id, "%x:%x:%x", &bus, &vendor, &product) != 3)
            return 0;
        out->vendorId = (uint16_t)vendor;
        out->productId = (uint16_t)product;
        found = 1;
    }
    if (!found)
        return 0;

    /* Bluetooth or I2C devices have no USB device above them and no release
     * number; 0 keeps them from matching without ending the scan. */
    out->versionNumber = 0;
    unsigned long vendorId, version;
    while (ToParent(dir)) {
        if (ReadHex(dir, "idVendor", &vendorId)) {
            if (ReadHex(dir, "bcdDevice", &version))
                out->versionNumber = (uint16_t)version;
            break;
        }
    }
    return 1;
}

void ZorHostClose(intptr_t handle)
{
    close((int)handle);
}

int32_t ZorHostWrite(intptr_t handle, const OutputReport *report)
{
    for (;;) {
        ssize_t n = write((int)handle, report, sizeof *report);
        if (n < 0 && errno == EINTR)
            continue;
        return n == (ssize_t)sizeof *report;
    }
}

static int64_t NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* hidraw hands over one report per read, without the report id byte, since
 * the board uses no numbered reports. Asking for exactly one report's length
 * also keeps reports apart where the node is a stream. */
ZorReadResult ZorHostRead(intptr_t handle, InputReport *report)
{
    int64_t deadline = NowMs() + kReadTimeoutMs;
    struct pollfd wait = {(int)handle, POLLIN, 0};
    for (;;) {
        int64_t left = deadline - NowMs();
        int ready = poll(&wait, 1, left > 0 ? (int)left : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return ZorReadFailed;
        if (ready == 0)
            return ZorReadEnded;
        if (!(wait.revents & POLLIN))
            return ZorReadEnded; /* hung up, or not an open descriptor */

        uint8_t bytes[2];
        ssize_t n = read((int)handle, bytes, sizeof bytes);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n == 0 || (n < 0 && (errno == EIO || errno == ENODEV || errno == EBADF)))
            return ZorReadEnded;
        if (n != (ssize_t)sizeof bytes)
            return ZorReadFailed;
        report->reportId = 0;
        report->command = bytes[0];
        report->value = bytes[1];
        return ZorReadOk;
    }
}
