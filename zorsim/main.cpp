// zorsim: runs a command with a simulated board plugged in.
#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "options.h"
#include "trace.h"
#include "zorsim/board.h"
#include "zorsim/testbed.h"

extern char** environ;

namespace {

const char kPreload[] = "libumockdev-preload.so.0";
// Set across our own re-execution, so a preload that fails to load is
// reported instead of re-executing forever.
const char kReexecMarker[] = "ZORSIM_UNDER_PRELOAD";

enum { kUsageError = 2, kSetupError = 125, kCannotRun = 127 };

bool PreloadActive()
{
    return dlopen(kPreload, RTLD_LAZY | RTLD_NOLOAD) != nullptr;
}

// The faked /sys and /dev only exist for processes under umockdev's preload,
// and the testbed insists on it in its own process too.
int ReexecUnderPreload(char** argv)
{
    if (std::getenv(kReexecMarker) != nullptr) {
        std::fprintf(stderr, "zorsim: umockdev's preload library %s could not be loaded\n",
                     kPreload);
        return kSetupError;
    }
    const char* old = std::getenv("LD_PRELOAD");
    std::string preload = old != nullptr && *old != '\0' ? std::string(old) + ":" + kPreload
                                                          : std::string(kPreload);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(kReexecMarker, "1", 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "zorsim: cannot re-execute itself under umockdev's preload: %s\n",
                 std::strerror(errno));
    return kSetupError;
}

std::unique_ptr<zorsim::Board> PlugIn(zorsim::Testbed& testbed, const zorsim::Options& options)
{
    // Both kinds of foreign HID device, so the scan passes over each.
    for (unsigned n = 0; n < options.decoys; ++n) {
        if (n % 2 == 0)
            testbed.addUsbHid(n, zorsim::Identity{0xFF01, static_cast<uint16_t>(0x0100 + n), 0x0001});
        else
            testbed.addNonUsbHid(n, 0xFF02, static_cast<uint16_t>(0x0100 + n));
    }
    zorsim::Identity identity;
    identity.version = options.version;
    int fd = testbed.addUsbHid(options.decoys, identity);

    zorsim::BoardOptions boardOptions;
    boardOptions.cadence = std::chrono::milliseconds(options.cadenceMs);
    auto board = std::make_unique<zorsim::Board>(fd, boardOptions);
    if (options.trace) {
        board->onTraffic([](const zorsim::Traffic& traffic) {
            std::string line = zorsim::DescribeTraffic(traffic) + "\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
        });
    }
    for (const zorsim::PinDrive& pin : options.pins)
        board->drive(pin.port, pin.bit, pin.level);
    return board;
}

// Runs the command until it ends, passing on the signals meant to stop it.
// `forwarded` is blocked in this thread and every thread it started.
int RunCommand(const zorsim::Options& options, const sigset_t& forwarded, const sigset_t& original)
{
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &original);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child;
    int error = posix_spawnp(&child, options.command[0], nullptr, &attributes,
                             options.command.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        std::fprintf(stderr, "zorsim: cannot run '%s': %s\n", options.command[0],
                     std::strerror(error));
        return kCannotRun;
    }

    for (;;) {
        int signal = sigwaitinfo(&forwarded, nullptr);
        if (signal < 0)
            continue;
        if (signal != SIGCHLD) {
            kill(child, signal);
            continue;
        }
        int status;
        pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child) {
            if (WIFSIGNALED(status))
                return 128 + WTERMSIG(status);
            return WEXITSTATUS(status);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    zorsim::Options options;
    std::string error = zorsim::ParseOptions(argc, argv, &options);
    if (!error.empty()) {
        std::fprintf(stderr, "zorsim: %s\n", error.c_str());
        return kUsageError;
    }
    if (options.help) {
        std::fputs(zorsim::kUsage, stdout);
        return 0;
    }
    if (!PreloadActive())
        return ReexecUnderPreload(argv);
    unsetenv(kReexecMarker);

    // Blocked before any thread starts, so that only sigwaitinfo sees them.
    sigset_t forwarded, original;
    sigemptyset(&forwarded);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&forwarded, signal);
    pthread_sigmask(SIG_BLOCK, &forwarded, &original);

    try {
        zorsim::Testbed testbed;
        std::unique_ptr<zorsim::Board> board = PlugIn(testbed, options);
        return RunCommand(options, forwarded, original);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zorsim: cannot set up the simulated board: %s\n", e.what());
        return kSetupError;
    }
}
