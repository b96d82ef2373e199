/*
 * Windows host: SetupAPI lists the HID interfaces, "hid.dll" (loaded at run
 * time) names their class and reads their identity, and synchronous file I/O
 * moves the reports.
 */
#include <windows.h>
#include <setupapi.h>
#include <stdlib.h>
#include <string.h>

#include "host.h"

#if !defined(_WIN64)
_Static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "interface data size on 32-bit Windows");
_Static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "detail fixed part on 32-bit Windows");
#endif

/* The HID library's attributes record and entry points, declared here since
 * the library is bound at run time. */
typedef struct ZorHidAttributes {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
} ZorHidAttributes;

typedef VOID(WINAPI *HidD_GetHidGuid_t)(GUID *hidGuid);
typedef BOOLEAN(WINAPI *HidD_GetAttributes_t)(HANDLE device, ZorHidAttributes *attributes);

static HMODULE hidLibrary;
static HidD_GetHidGuid_t pHidD_GetHidGuid;
static HidD_GetAttributes_t pHidD_GetAttributes;

/* The load hook accepts every attach and detach; all set-up is in
 * InitZorLibraries. */
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}

static FARPROC Bind(const char *name)
{
    return GetProcAddress(hidLibrary, name);
}

int ZorHostInit(void)
{
    if (hidLibrary == NULL) {
        hidLibrary = LoadLibraryA("hid.dll");
        /* GetProcAddress(NULL, ...) would look in the executable instead. */
        if (hidLibrary != NULL) {
            pHidD_GetHidGuid = (HidD_GetHidGuid_t)(void (*)(void))Bind("HidD_GetHidGuid");
            pHidD_GetAttributes = (HidD_GetAttributes_t)(void (*)(void))Bind("HidD_GetAttributes");
        }
    }
    return pHidD_GetHidGuid != NULL && pHidD_GetAttributes != NULL;
}

static HANDLE OpenInSet(HDEVINFO set, GUID *guid, uint32_t index, void **detail)
{
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, NULL, guid, index, &data))
        return INVALID_HANDLE_VALUE;

    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &size, NULL);
    SP_DEVICE_INTERFACE_DETAIL_DATA_A *buffer =
        ZorDetailNew(size, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
    if (buffer == NULL)
        return INVALID_HANDLE_VALUE;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, buffer, size, &size, NULL)) {
        free(buffer);
        return INVALID_HANDLE_VALUE;
    }

    HANDLE handle = CreateFileA(buffer->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        free(buffer);
        return handle;
    }
    *detail = buffer;
    return handle;
}

intptr_t ZorHostOpenIndex(uint32_t index, void **detail)
{
    *detail = NULL;
    GUID guid;
    pHidD_GetHidGuid(&guid);
    HDEVINFO set = SetupDiGetClassDevsA(&guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return -1;
    HANDLE handle = OpenInSet(set, &guid, index, detail);
    SetupDiDestroyDeviceInfoList(set);
    return (intptr_t)handle;
}

int ZorHostAttributes(intptr_t handle, uint32_t index, ZorAttributes *out)
{
    (void)index;
    ZorHidAttributes attributes;
    memset(&attributes, 0, sizeof attributes);
    attributes.Size = sizeof attributes;
    /* Only the low 8 bits of the BOOLEAN result count. */
    if ((uint8_t)pHidD_GetAttributes((HANDLE)handle, &attributes) == 0)
        return 0;
    out->vendorId = attributes.VendorID;
    out->productId = attributes.ProductID;
    out->versionNumber = attributes.VersionNumber;
    return 1;
}

void ZorHostClose(intptr_t handle)
{
    CloseHandle((HANDLE)handle);
}

int32_t ZorHostWrite(intptr_t handle, const OutputReport *report)
{
    DWORD written = 0;
    BOOL ok = WriteFile((HANDLE)handle, report, sizeof *report, &written, NULL);
    return ok && written == sizeof *report;
}

ZorReadResult ZorHostRead(intptr_t handle, InputReport *report)
{
    InputReport received;
    DWORD count = 0;
    if (ReadFile((HANDLE)handle, &received, sizeof received, &count, NULL)) {
        if (count != sizeof received)
            return ZorReadFailed;
        *report = received;
        return ZorReadOk;
    }
    switch (GetLastError()) {
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_BROKEN_PIPE:
    case ERROR_INVALID_HANDLE:
        return ZorReadEnded; /* no report will ever come */
    default:
        return ZorReadFailed;
    }
}
