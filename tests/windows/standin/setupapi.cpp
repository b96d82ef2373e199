// Stand-in setupapi.dll: lists the simulated HID interfaces of the table and
// keeps the platform's documented rules where a client could get them wrong
// (record sizes, the size query, the end of the list).
#define _SETUPAPI_
#define ZORWIN_STANDIN_BUILD
#include <windows.h>
#include <setupapi.h>

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "standin.h"

namespace {

struct Interface {
    std::string path;
    uint16_t vendor = 0, product = 0, version = 0;
    bool attributes = true;
};

struct Set {
    int serial;
    bool listsHid;  // built for the HID interface class
};

CRITICAL_SECTION gLock;
bool gConfigured;
std::vector<Interface> gTable;
std::vector<ZorwinEvent> gEvents;
std::vector<Set *> gLiveSets;
int gSerial;

struct Guard {
    Guard() { EnterCriticalSection(&gLock); }
    ~Guard() { LeaveCriticalSection(&gLock); }
};

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

void Parse(const char *table)
{
    gTable.clear();
    gEvents.clear();
    gConfigured = true;
    if (table == nullptr || *table == '\0')
        return;
    for (const std::string &entry : Split(table, ';')) {
        std::vector<std::string> fields = Split(entry, ',');
        if (fields.size() < 4)
            continue;
        Interface i;
        i.path = fields[0];
        i.vendor = (uint16_t)strtoul(fields[1].c_str(), nullptr, 16);
        i.product = (uint16_t)strtoul(fields[2].c_str(), nullptr, 16);
        i.version = (uint16_t)strtoul(fields[3].c_str(), nullptr, 16);
        i.attributes = !(fields.size() > 4 && fields[4] == "noattr");
        gTable.push_back(i);
    }
}

// A process that never configured the stand-in takes the table from its
// environment, once.
void EnsureConfigured()
{
    if (gConfigured)
        return;
    char small[1];
    DWORD size = GetEnvironmentVariableA(ZORWIN_TABLE_VARIABLE, small, 0);
    std::string table;
    if (size > 0) {
        table.resize(size);
        DWORD got = GetEnvironmentVariableA(ZORWIN_TABLE_VARIABLE, &table[0], size);
        table.resize(got);
    }
    Parse(table.c_str());
}

Set *FindSet(HDEVINFO handle)
{
    for (Set *s : gLiveSets)
        if (s == handle)
            return s;
    return nullptr;
}

// The interface data's Reserved field carries index + 1, so a record that did
// not come from SetupDiEnumDeviceInterfaces is told apart.
const Interface *InterfaceOf(const SP_DEVICE_INTERFACE_DATA *data)
{
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > gTable.size())
        return nullptr;
    return &gTable[data->Reserved - 1];
}

bool SameGuid(const GUID *a, const GUID *b) { return memcmp(a, b, sizeof *a) == 0; }

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&gLock);
    return TRUE;
}

void ZorwinStandinConfigure(const char *table)
{
    Guard guard;
    Parse(table);
}

int ZorwinStandinEvents(ZorwinEvent *out, int capacity)
{
    Guard guard;
    int count = (int)gEvents.size();
    for (int i = 0; i < count && i < capacity; ++i)
        out[i] = gEvents[i];
    return count;
}

void ZorwinStandinClearEvents(void)
{
    Guard guard;
    gEvents.clear();
}

int ZorwinStandinLiveSets(void)
{
    Guard guard;
    return (int)gLiveSets.size();
}

int ZorwinStandinIdentity(const wchar_t *fileName, uint16_t *vendor, uint16_t *product, uint16_t *version)
{
    Guard guard;
    EnsureConfigured();
    size_t nameLength = wcslen(fileName);
    for (const Interface &i : gTable) {
        // The file system names a pipe without the "\\.\pipe" prefix.
        if (i.path.size() < nameLength)
            continue;
        const char *tail = i.path.c_str() + i.path.size() - nameLength;
        bool same = true;
        for (size_t k = 0; k < nameLength && same; ++k)
            same = towlower((wchar_t)(unsigned char)tail[k]) == towlower(fileName[k]);
        if (!same)
            continue;
        if (!i.attributes)
            return 0;
        *vendor = i.vendor;
        *product = i.product;
        *version = i.version;
        return 1;
    }
    return 0;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *classGuid, PCSTR enumerator, HWND parent, DWORD flags)
{
    (void)parent;
    Guard guard;
    EnsureConfigured();
    if (enumerator != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);  // the stand-in knows no enumerators
        return INVALID_HANDLE_VALUE;
    }
    if (classGuid == nullptr && !(flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Without DIGCF_DEVICEINTERFACE the GUID names a setup class, under which
    // no HID interface is listed.
    Set *set = new Set{++gSerial, (flags & DIGCF_DEVICEINTERFACE) && classGuid != nullptr &&
                                      SameGuid(classGuid, &kZorwinHidGuid)};
    gLiveSets.push_back(set);
    gEvents.push_back(ZorwinEvent{ZorwinSetBuilt, set->serial, 0});
    return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device, const GUID *interfaceGuid,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA data)
{
    Guard guard;
    Set *set = FindSet(handle);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    gEvents.push_back(ZorwinEvent{ZorwinSetEnumerated, set->serial, index});
    if (device != nullptr || interfaceGuid == nullptr || data == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!set->listsHid || !SameGuid(interfaceGuid, &kZorwinHidGuid) || index >= gTable.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = kZorwinHidGuid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA device)
{
    Guard guard;
    if (FindSet(handle) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const Interface *i = InterfaceOf(data);
    if (i == nullptr || device != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD required = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + i->path.size() + 1);
    if (detail == nullptr) {
        if (detailSize != 0) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (requiredSize != nullptr)
            *requiredSize = required;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (requiredSize != nullptr)
        *requiredSize = required;
    if (detailSize < required) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(detail->DevicePath, i->path.c_str(), i->path.size() + 1);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle)
{
    Guard guard;
    for (size_t k = 0; k < gLiveSets.size(); ++k) {
        if (gLiveSets[k] == handle) {
            gEvents.push_back(ZorwinEvent{ZorwinSetDestroyed, gLiveSets[k]->serial, 0});
            delete gLiveSets[k];
            gLiveSets.erase(gLiveSets.begin() + (ptrdiff_t)k);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

}  // extern "C"
