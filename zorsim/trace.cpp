#include "trace.h"

#include <cstdio>

#include "wire.h"

namespace zorsim {
namespace {

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0)
{
    char text[96];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// A mask names one pin when exactly one bit is set; say so, else show it.
std::string Pin(uint8_t mask)
{
    for (unsigned bit = 0; bit < 8; ++bit)
        if (mask == (1u << bit))
            return Format("bit %u", bit);
    return Format("mask 0x%02X", mask);
}

std::string DescribeOutput(uint8_t command, uint8_t argument)
{
    unsigned port = ZorPortOf(command);
    std::string where = Format("port %u, ", port);
    switch (ZorOpcodeOf(command)) {
    case DataBitClear:
        return "data bit clear, " + where + Pin(argument);
    case DataBitSet:
        return "data bit set, " + where + Pin(static_cast<uint8_t>(~argument));
    case PullupBitClear:
        return "pull-up bit clear, " + where + Pin(argument);
    case PullupBitSet:
        return "pull-up bit set, " + where + Pin(static_cast<uint8_t>(~argument));
    case ISinkLevel:
        return "current sink, " + where +
               Format("pin %u, intensity %u", argument & 0x0Fu, argument >> 4);
    case ReadBitEven:
    case ReadBitOdd:
        return "read request, " + where + Pin(argument);
    default:
        return Format("unknown opcode %u", ZorOpcodeOf(command));
    }
}

std::string DescribeInput(uint8_t command, uint8_t value)
{
    uint8_t opcode = ZorOpcodeOf(command);
    if (opcode == ReadBitEven || opcode == ReadBitOdd)
        return Format("answer to read, port %u: 0x%02X", ZorPortOf(command), value);
    return "no answer yet";
}

}  // namespace

std::string DescribeTraffic(const Traffic& traffic)
{
    const uint8_t* b = traffic.bytes;
    std::string line = Format(traffic.toBoard ? "host -> board %02X %02X %02X  "
                                              : "board -> host %02X %02X %02X  ",
                              b[0], b[1], b[2]);
    return line + (traffic.toBoard ? DescribeOutput(b[1], b[2]) : DescribeInput(b[1], b[2]));
}

}  // namespace zorsim
