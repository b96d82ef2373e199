#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "key.h"

static struct termios saved;
static const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
enum { kSignalCount = sizeof kSignals / sizeof kSignals[0] };
static struct sigaction previous[kSignalCount];

static void ReadOneByte(void)
{
    char c;
    while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
    }
}

/* A signal must not leave the terminal without echo: put it back, then die
 * of the same signal so the parent sees why. */
static void RestoreAndReraise(int sig)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    signal(sig, SIG_DFL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, sig);
    sigprocmask(SIG_UNBLOCK, &unblock, NULL);
    raise(sig);
}

void WaitForKey(void)
{
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
        ReadOneByte();
        return;
    }

    struct sigaction action = {0};
    action.sa_handler = RestoreAndReraise;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kSignals[i], NULL, &previous[i]);
        /* A signal ignored by whoever started us stays ignored. */
        if (previous[i].sa_handler != SIG_IGN)
            sigaction(kSignals[i], &action, NULL);
    }

    struct termios raw = saved;
    raw.c_lflag &= (tcflag_t) ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);

    ReadOneByte();

    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    for (int i = 0; i < kSignalCount; ++i)
        sigaction(kSignals[i], &previous[i], NULL);
}
