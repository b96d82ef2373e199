// Runs a program as a child process, with standard input at end of input and
// standard output captured, and a time limit.
#pragma once

#include <string>

namespace zorwin {

struct ChildRun {
    bool started = false;
    bool finished = false;  // false: killed at the time limit
    unsigned long exitCode = 0;
    std::string output;
};

// The directory of the running program, with a trailing backslash.
std::string ProgramDirectory();

// Runs `program` (a path) without arguments, with `variable` set to `value`
// in its environment when `variable` is given.
ChildRun RunChild(const std::string &program, double seconds, const char *variable = nullptr,
                  const std::string &value = std::string());

// True when `output` is `expected`, or is `expected` with every "\n" written
// as "\r\n" (the C runtime's text mode on a pipe does that).
bool SameLines(const std::string &output, const std::string &expected);

}  // namespace zorwin
