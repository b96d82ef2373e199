// A model of the board's firmware: 16 ports of 8 pins, each with a data bit,
// a pull-up bit and a current-sink level. Pure logic with no I/O and no
// locking, so it builds for every host and any transport can serve it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "wire.h"

namespace zorsim {

class Firmware {
public:
    static constexpr int kPorts = 16;
    static constexpr int kBits = 8;

    // Drives a pin's level from outside; release() lets its data bit decide again.
    void drive(int port, int bit, bool level);
    void release(int port, int bit);

    // The level on a pin: the driven level when one is set, else its data bit.
    bool level(int port, int bit) const;
    bool dataBit(int port, int bit) const;
    bool pullupBit(int port, int bit) const;
    uint8_t sinkLevel(int port, int pin) const;

    // Handles one output report as the firmware does and records it. A read
    // request (opcode 6 or 7) is answered with a report that echoes its
    // command byte and carries the port's levels masked by its argument; the
    // answer also becomes the report the board repeats.
    std::optional<InputReport> receive(const OutputReport& report);

    // The report the board sends when it has nothing new to say.
    InputReport latest() const { return latest_; }

    // Every output report received, in order.
    const std::vector<OutputReport>& received() const { return received_; }

private:
    uint8_t data_[kPorts] = {};
    uint8_t pullup_[kPorts] = {};
    uint8_t driven_[kPorts] = {};      // which pins are driven from outside
    uint8_t drivenLevel_[kPorts] = {}; // and to which level
    uint8_t sink_[kPorts][kBits] = {};
    InputReport latest_ = {0, 0, 0};
    std::vector<OutputReport> received_;
};

}  // namespace zorsim
