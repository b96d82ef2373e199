#include "zorsim/firmware.h"

namespace zorsim {
namespace {

uint8_t Bit(int bit) { return static_cast<uint8_t>(1u << bit); }

bool InRange(int port, int bit)
{
    return port >= 0 && port < Firmware::kPorts && bit >= 0 && bit < Firmware::kBits;
}

}  // namespace

void Firmware::drive(int port, int bit, bool level)
{
    if (!InRange(port, bit))
        return;
    driven_[port] |= Bit(bit);
    drivenLevel_[port] = level ? (drivenLevel_[port] | Bit(bit)) : (drivenLevel_[port] & ~Bit(bit));
}

void Firmware::release(int port, int bit)
{
    if (InRange(port, bit))
        driven_[port] &= ~Bit(bit);
}

bool Firmware::level(int port, int bit) const
{
    if (!InRange(port, bit))
        return false;
    uint8_t levels = (drivenLevel_[port] & driven_[port]) | (data_[port] & ~driven_[port]);
    return levels & Bit(bit);
}

bool Firmware::dataBit(int port, int bit) const { return InRange(port, bit) && (data_[port] & Bit(bit)); }

bool Firmware::pullupBit(int port, int bit) const
{
    return InRange(port, bit) && (pullup_[port] & Bit(bit));
}

uint8_t Firmware::sinkLevel(int port, int pin) const { return InRange(port, pin) ? sink_[port][pin] : 0; }

std::optional<InputReport> Firmware::receive(const OutputReport& report)
{
    received_.push_back(report);
    int port = ZorPortOf(report.command);
    uint8_t argument = report.argument;
    switch (ZorOpcodeOf(report.command)) {
    case DataBitClear:
        data_[port] &= ~argument;
        break;
    case DataBitSet:
        data_[port] |= static_cast<uint8_t>(~argument);
        break;
    case PullupBitClear:
        pullup_[port] &= ~argument;
        break;
    case PullupBitSet:
        pullup_[port] |= static_cast<uint8_t>(~argument);
        break;
    case ISinkLevel: {
        int pin = argument & 0x0F;
        if (pin < kBits)
            sink_[port][pin] = argument >> 4;
        break;
    }
    case ReadBitEven:
    case ReadBitOdd: {
        uint8_t levels = 0;
        for (int bit = 0; bit < kBits; ++bit)
            levels |= level(port, bit) ? Bit(bit) : 0;
        latest_ = InputReport{0, report.command, static_cast<uint8_t>(levels & argument)};
        return latest_;
    }
    default:
        break;
    }
    return std::nullopt;
}

}  // namespace zorsim
