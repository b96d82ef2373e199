// zorsim's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorsim {

struct PinDrive {
    int port;
    int bit;
    bool level;
};

struct Options {
    std::vector<PinDrive> pins;
    unsigned cadenceMs = 1;
    uint16_t version = 0x0001;
    unsigned decoys = 0;
    bool trace = false;
    bool help = false;
    std::vector<char*> command;  // null-terminated, ready for exec
};

constexpr unsigned kMaxDecoys = 200;
constexpr unsigned kMaxCadenceMs = 60000;

extern const char kUsage[];

// Fills `options` from argv. Returns a one-line error, or "" when the line
// is good or asks for help.
std::string ParseOptions(int argc, char** argv, Options* options);

}  // namespace zorsim
