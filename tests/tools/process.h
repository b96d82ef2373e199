// Runs a program as a child for a test: on pipes, or on a pseudo-terminal
// that is its controlling terminal, and collects what it writes.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <vector>

namespace zortest {

class Process {
public:
    enum class Mode { Pipes, Terminal };

    // `environment` holds NAME=VALUE entries added to the child's.
    Process(const std::vector<std::string>& args, Mode mode,
            const std::vector<std::string>& environment = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void write(const std::string& text);
    // End of input on the pipe; standard input stays open until this.
    void closeInput();

    // Collects output until `text` appears on standard output (the terminal).
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    bool running();
    // Collects output until the child has ended and its output is closed.
    // Returns the exit status, 128+N for signal N, or -1 after a timeout
    // (the child's process group is then killed).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // The terminal's settings as the child sees them.
    termios terminalSettings() const;

    pid_t pid() const { return pid_; }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    void collect(std::chrono::milliseconds timeout);
    bool reap(bool block);

    Mode mode_;
    pid_t pid_ = -1;
    int input_ = -1;     // pipe mode: the write end of standard input
    int outFd_ = -1;     // standard output, or the terminal's master side
    int errFd_ = -1;     // pipe mode only
    int terminal_ = -1;  // terminal mode: the slave side, kept for its settings
    bool ended_ = false;
    int status_ = -1;
    std::string out_;
    std::string err_;
};

}  // namespace zortest
