// The test-only side of the stand-in setupapi.dll. The stand-in owns the
// table of simulated HID interfaces and a log of what the library asked of
// it; the stand-in hid.dll and the test programs reach both through these
// exports.
#pragma once

#include <windows.h>
#include <stdint.h>

#ifdef ZORWIN_STANDIN_BUILD
#  define ZORWIN_STANDIN_API
#else
#  define ZORWIN_STANDIN_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The HID interface class the stand-ins list; the platform's documented value.
static const GUID kZorwinHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// A separate process (zorprobe.exe) gets its table from this variable; a
// process that calls ZorwinStandinConfigure ignores it.
#define ZORWIN_TABLE_VARIABLE "ZORWIN_STANDIN_TABLE"

// Replaces the table and clears the log. The table lists the interfaces in
// index order, separated by ';'; each is "path,vendor,product,version" in hex,
// optionally followed by ",noattr" when its identity cannot be read.
ZORWIN_STANDIN_API void ZorwinStandinConfigure(const char *table);

typedef enum ZorwinEventKind {
    ZorwinSetBuilt = 'B',     // SetupDiGetClassDevsA returned a set
    ZorwinSetEnumerated = 'E', // SetupDiEnumDeviceInterfaces asked for `index`
    ZorwinSetDestroyed = 'D'  // SetupDiDestroyDeviceInfoList released a set
} ZorwinEventKind;

typedef struct ZorwinEvent {
    char kind;    // a ZorwinEventKind
    int set;      // serial number of the set, from 1
    uint32_t index;
} ZorwinEvent;

// Copies up to `capacity` logged events into `out` and returns how many were
// logged in all since the last Configure or Clear.
ZORWIN_STANDIN_API int ZorwinStandinEvents(ZorwinEvent *out, int capacity);
ZORWIN_STANDIN_API void ZorwinStandinClearEvents(void);
// Sets built and not yet destroyed.
ZORWIN_STANDIN_API int ZorwinStandinLiveSets(void);

// For the stand-in hid.dll: the identity of the interface whose pipe has the
// file name `fileName` (as the file system reports it, e.g. L"\\zorwin-1-0").
// Returns 0 when no interface has that name or its identity cannot be read.
ZORWIN_STANDIN_API int ZorwinStandinIdentity(const wchar_t *fileName, uint16_t *vendor, uint16_t *product,
                                             uint16_t *version);

#ifdef __cplusplus
}
#endif
