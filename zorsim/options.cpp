#include "options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace zorsim {

const char kUsage[] =
    "Usage: zorsim [OPTIONS] -- COMMAND [ARGS...]\n"
    "Runs COMMAND with a simulated ZOR board plugged in: a faked /sys and /dev\n"
    "holding the board's hidraw node, served while COMMAND runs. No board and\n"
    "no root needed. Exits with COMMAND's status (128+N if signal N killed it).\n"
    "\n"
    "Options:\n"
    "  --pin P.B=0|1     hold input pin B (0-7) of port P (0-15) high or low;\n"
    "                    repeatable (\"1.0\" is bit 0 of port 1)\n"
    "  --cadence MS      send an input report every MS milliseconds (default 1;\n"
    "                    0: send only the answer to each read)\n"
    "  --version 0xNNNN  the release the board reports (default 0x0001; any\n"
    "                    other is not taken for the board)\n"
    "  --decoys N        put N other HID devices ahead of the board (0-200)\n"
    "  --trace           print every report, both ways, on standard error\n"
    "  --help            print this help and exit\n"
    "\n"
    "Example: zorsim --pin 1.0=1 -- zorprobe\n";

namespace {

// Whole digits only: strtoul alone would take signs, spaces and a prefix.
bool ParseUnsigned(const char* text, int base, unsigned long max, unsigned long* value)
{
    if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    if (*text == '\0')
        return false;
    for (const char* c = text; *c != '\0'; ++c) {
        if (base == 16 ? !std::isxdigit(static_cast<unsigned char>(*c))
                       : !std::isdigit(static_cast<unsigned char>(*c)))
            return false;
    }
    errno = 0;
    char* end;
    *value = std::strtoul(text, &end, base);
    return errno == 0 && *end == '\0' && *value <= max;
}

bool ParsePin(const std::string& text, PinDrive* pin)
{
    size_t dot = text.find('.');
    size_t equals = text.find('=');
    if (dot == std::string::npos || equals == std::string::npos || equals < dot)
        return false;
    unsigned long port, bit;
    std::string level = text.substr(equals + 1);
    if (!ParseUnsigned(text.substr(0, dot).c_str(), 10, 15, &port) ||
        !ParseUnsigned(text.substr(dot + 1, equals - dot - 1).c_str(), 10, 7, &bit) ||
        (level != "0" && level != "1"))
        return false;
    *pin = {static_cast<int>(port), static_cast<int>(bit), level == "1"};
    return true;
}

}  // namespace

std::string ParseOptions(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            if (i + 1 >= argc)
                return "missing COMMAND after '--'";
            options->command.assign(argv + i + 1, argv + argc);
            options->command.push_back(nullptr);
            return "";
        }
        if (arg == "--help") {
            options->help = true;
            return "";
        }
        if (arg == "--trace") {
            options->trace = true;
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-')
            return "unknown option '" + arg + "'";
        if (arg.compare(0, 2, "--") != 0)
            return "missing '--' before COMMAND '" + arg + "'";

        // The options that take a value, as "--name VALUE" or "--name=VALUE".
        std::string name = arg;
        const char* value = nullptr;
        size_t equals = arg.find('=');
        if (equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = argv[i] + equals + 1;
        }
        if (name != "--pin" && name != "--cadence" && name != "--version" && name != "--decoys")
            return "unknown option '" + arg + "'";
        if (value == nullptr) {
            if (i + 1 >= argc)
                return name + " needs a value";
            value = argv[++i];
        }

        unsigned long number;
        if (name == "--pin") {
            PinDrive pin;
            if (!ParsePin(value, &pin))
                return "bad pin '" + std::string(value) + "': want P.B=0|1, port 0-15, bit 0-7";
            options->pins.push_back(pin);
        } else if (name == "--cadence") {
            if (!ParseUnsigned(value, 10, kMaxCadenceMs, &number))
                return "bad number '" + std::string(value) + "' for --cadence: want 0 to " +
                       std::to_string(kMaxCadenceMs) + " milliseconds";
            options->cadenceMs = static_cast<unsigned>(number);
        } else if (name == "--version") {
            if (!ParseUnsigned(value, 16, 0xFFFF, &number))
                return "bad number '" + std::string(value) +
                       "' for --version: want 0x0000 to 0xFFFF (hexadecimal)";
            options->version = static_cast<uint16_t>(number);
        } else {
            if (!ParseUnsigned(value, 10, kMaxDecoys, &number))
                return "bad number '" + std::string(value) + "' for --decoys: want 0 to " +
                       std::to_string(kMaxDecoys);
            options->decoys = static_cast<unsigned>(number);
        }
    }
    return "missing '-- COMMAND'";
}

}  // namespace zorsim
