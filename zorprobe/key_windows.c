#include <conio.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "key.h"

void WaitForKey(void)
{
    DWORD mode;
    /* _isatty would also take the NUL device for a console. */
    if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
        _getch();
        return;
    }
    char c;
    _read(_fileno(stdin), &c, 1);
}
