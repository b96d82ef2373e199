#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace zortest {
namespace {

using Clock = std::chrono::steady_clock;

void Pipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
}

}  // namespace

Process::Process(const std::vector<std::string>& args, Mode mode,
                 const std::vector<std::string>& environment)
    : mode_(mode)
{
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    int master = -1, slave = -1;
    if (mode == Mode::Pipes) {
        Pipe(in);
        Pipe(out);
        Pipe(err);
    } else {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
    }

    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        if (mode == Mode::Pipes) {
            setpgid(0, 0);
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
        } else {
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(slave, 2);
        }
        for (const std::string& entry : environment)
            putenv(const_cast<char*>(entry.c_str()));
        execv(argv[0], argv.data());
        _exit(126);
    }

    if (mode == Mode::Pipes) {
        close(in[0]);
        close(out[1]);
        close(err[1]);
        input_ = in[1];
        outFd_ = out[0];
        errFd_ = err[0];
    } else {
        outFd_ = master;
        terminal_ = slave;
    }
}

Process::~Process()
{
    if (!ended_) {
        kill(-pid_, SIGKILL);
        reap(true);
    }
    for (int fd : {input_, outFd_, errFd_, terminal_})
        if (fd >= 0)
            close(fd);
}

void Process::write(const std::string& text)
{
    int fd = mode_ == Mode::Pipes ? input_ : outFd_;
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot write to the child");
}

void Process::closeInput()
{
    if (input_ >= 0)
        close(input_);
    input_ = -1;
}

void Process::collect(std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    int ready = poll(fds, errFd_ >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
    if (ready <= 0)
        return;
    std::string* sinks[2] = {&out_, &err_};
    int* owners[2] = {&outFd_, &errFd_};
    for (int i = 0; i < 2; ++i) {
        if (*owners[i] < 0 || fds[i].revents == 0)
            continue;
        char buffer[4096];
        ssize_t n = read(*owners[i], buffer, sizeof buffer);
        if (n > 0) {
            sinks[i]->append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            // End of a pipe, or EIO once a terminal has no child left.
            if (mode_ == Mode::Pipes) {
                close(*owners[i]);
                *owners[i] = -1;
            }
        }
    }
}

bool Process::reap(bool block)
{
    if (ended_)
        return true;
    int status;
    pid_t r;
    do {
        r = waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != pid_)
        return false;
    ended_ = true;
    status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    return true;
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    Clock::time_point deadline = Clock::now() + timeout;
    while (out_.find(text) == std::string::npos) {
        if (Clock::now() >= deadline)
            return false;
        collect(std::chrono::milliseconds(20));
    }
    return true;
}

bool Process::running()
{
    return !reap(false);
}

int Process::wait(std::chrono::milliseconds timeout)
{
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        bool done = reap(false);
        bool open = mode_ == Mode::Pipes && (outFd_ >= 0 || errFd_ >= 0);
        if (done && !open) {
            // What a terminal still holds once the child is gone.
            if (mode_ == Mode::Terminal)
                collect(std::chrono::milliseconds(50));
            return status_;
        }
        if (Clock::now() >= deadline) {
            kill(-pid_, SIGKILL);
            reap(true);
            return -1;
        }
        collect(std::chrono::milliseconds(20));
    }
}

termios Process::terminalSettings() const
{
    termios settings{};
    if (terminal_ < 0 || tcgetattr(terminal_, &settings) != 0)
        throw std::runtime_error("no terminal to read settings from");
    return settings;
}

}  // namespace zortest
