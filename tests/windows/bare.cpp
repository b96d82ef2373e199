// The real zoriolib.dll and zorprobe.exe with the host's own HID support and
// no board: the host may list HID devices of its own, none of them a board.
#include <windows.h>

#include <cctype>
#include <string>

#include "check.h"
#include "child.h"
#include "zoriolib.h"

using namespace zorwin;

TEST(smoke, NoBoardAmongTheHostsDevices)
{
    InitZorLibraries();
    // The host's own HID library, not a stand-in, is what was loaded.
    HMODULE hid = GetModuleHandleA("hid.dll");
    REQUIRE(hid != nullptr);
    char path[MAX_PATH];
    std::string loaded(path, GetModuleFileNameA(hid, path, MAX_PATH));
    for (char &c : loaded)
        c = (char)std::tolower((unsigned char)c);
    CHECK_AT(loaded.find("system32") != std::string::npos, loaded);

    ZorDevice d = {};
    CHECK(OpenFirstZorDevice(&d) == -1);
    CHECK(d.handle == -1 && d.interfaceDetail == nullptr);
    InitZorLibraries();
    CHECK(OpenNextZorDevice(&d, &d) == -1);
    CHECK(d.handle == -1 && d.interfaceDetail == nullptr);
}

TEST(zorprobe, NoBoard)
{
    ChildRun run = RunChild(ProgramDirectory() + "zorprobe.exe", 60);
    REQUIRE(run.started);
    CHECK_AT(run.finished && run.exitCode == 1, "exit " + std::to_string(run.exitCode));
    CHECK_AT(SameLines(run.output, "ZOR libraries successfully initialized.\n"
                                   "Cannot locate ZOR device. Please make sure it is plugged in.\n"),
             "output: [" + run.output + "]");
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    return check::RunAll(argc > 1 ? argv[1] : nullptr);
}
