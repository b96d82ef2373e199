/* zorprobe: runs the fixed exercise against the first board found. */
#include <stdio.h>

#include "zoriolib.h"
#include "key.h"

static ZorDevice device;

int main(void)
{
    InitZorLibraries();
    fputs("ZOR libraries successfully initialized.\n", stdout);

    if (OpenFirstZorDevice(&device) == -1) {
        fputs("Cannot locate ZOR device. Please make sure it is plugged in.\n", stdout);
        return 1;
    }
    fputs("ZOR device opened.\n", stdout);

    SetDataBit(&device, 0, 6, 1);
    SetDataBit(&device, 0, 7, 0);
    fputs("Written '1' on 0.6, written '0' on 0.7\n", stdout);

    SetISink(&device, 0, 6, 15);
    fputs("Intensity set to 0xf on 0.6\n", stdout);

    uint8_t value = ReadDataBit(&device, 1, 0);
    printf("Value read from ZOR device: %d\n", value);

    CloseZorDevice(&device);
    fputs("ZOR device successfully closed.\n", stdout);

    fputs("Press ENTER to exit.\n", stdout);
    /* Through a pipe stdout is fully buffered: the prompt must show before
     * the wait. */
    fflush(stdout);
    WaitForKey();
    return 0;
}
