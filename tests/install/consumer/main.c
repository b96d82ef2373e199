#include <stdio.h>
#include <zoriolib.h>

int main(void)
{
    static ZorDevice device;
    InitZorLibraries();
    printf("%ld\n", (long)OpenFirstZorDevice(&device));
    return 0;
}
