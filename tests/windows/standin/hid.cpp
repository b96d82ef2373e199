// Stand-in hid.dll: the HID class GUID, and each simulated interface's
// identity, found from the pipe the handle was opened on.
#include <windows.h>

#include "standin.h"

extern "C" {

// The platform's attributes record, declared here as the stand-in's own.
typedef struct ZorwinHidAttributes {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
} ZorwinHidAttributes;

VOID WINAPI HidD_GetHidGuid(GUID *guid) { *guid = kZorwinHidGuid; }

BOOLEAN WINAPI HidD_GetAttributes(HANDLE device, ZorwinHidAttributes *attributes)
{
    union {
        FILE_NAME_INFO info;
        char bytes[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(WCHAR)];
    } name;
    if (!GetFileInformationByHandleEx(device, FileNameInfo, &name, sizeof name - sizeof(WCHAR)))
        return FALSE;
    name.info.FileName[name.info.FileNameLength / sizeof(WCHAR)] = L'\0';
    uint16_t vendor, product, version;
    if (!ZorwinStandinIdentity(name.info.FileName, &vendor, &product, &version))
        return FALSE;
    // A HID interface delivers whole reports; the pipe's client end does the
    // same only in message read mode.
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(device, &mode, NULL, NULL))
        return FALSE;
    attributes->Size = sizeof *attributes;
    attributes->VendorID = vendor;
    attributes->ProductID = product;
    attributes->VersionNumber = version;
    return TRUE;
}

}  // extern "C"
