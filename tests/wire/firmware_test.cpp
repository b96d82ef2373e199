// The firmware model on its own: what each output report does to the pins,
// and what a read request answers. Later tests trust these answers.
#include <gtest/gtest.h>

#include <vector>

#include "zorsim/firmware.h"

using zorsim::Firmware;

namespace {

// A port's 8 bits, as the accessor reports them.
template <typename Get>
uint8_t PortBits(Get get)
{
    uint8_t bits = 0;
    for (int bit = 0; bit < Firmware::kBits; ++bit)
        bits |= get(bit) ? static_cast<uint8_t>(1u << bit) : 0;
    return bits;
}

}  // namespace

TEST(Firmware, OutputReportsChangeDataAndPullupBits)
{
    struct Case {
        const char* name;
        std::vector<OutputReport> reports;
        int port;
        uint8_t data;
        uint8_t pullup;
    };
    const Case cases[] = {
        {"set takes the inverted mask", {{0, 0x02, 0xBF}}, 0, 0x40, 0x00},
        {"clear takes the mask", {{0, 0x02, 0xBF}, {0, 0x02, 0x7F}, {0, 0x01, 0x40}}, 0, 0x80, 0x00},
        {"set with 0xFF changes nothing", {{0, 0x22, 0xFF}}, 2, 0x00, 0x00},
        {"set with 0x00 sets the whole port", {{0, 0x32, 0x00}}, 3, 0xFF, 0x00},
        {"pull-up set and clear", {{0, 0x14, 0xFE}, {0, 0x14, 0xFD}, {0, 0x13, 0x01}}, 1, 0x00, 0x02},
        {"port 15", {{0, 0xF2, 0x7F}, {0, 0xF4, 0xFE}}, 15, 0x80, 0x01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Firmware firmware;
        for (const OutputReport& r : c.reports)
            EXPECT_FALSE(firmware.receive(r).has_value()) << "only read requests are answered";
        EXPECT_EQ(PortBits([&](int b) { return firmware.dataBit(c.port, b); }), c.data);
        EXPECT_EQ(PortBits([&](int b) { return firmware.pullupBit(c.port, b); }), c.pullup);
        EXPECT_EQ(firmware.received().size(), c.reports.size());
    }
}

TEST(Firmware, SinkLevelTakesPinAndIntensityFromTheArgument)
{
    struct Case {
        uint8_t command;
        uint8_t argument;
        int port;
        int pin;
        uint8_t level;  // of (port, pin) afterwards
    };
    const Case cases[] = {
        {0x05, 0xF6, 0, 6, 15},
        {0xF5, 0x37, 15, 7, 3},
        {0x15, 0x10, 1, 0, 1},
        {0x05, 0x3A, 0, 2, 0},  // pin 10 is no pin: nothing changes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "argument " << int(c.argument));
        Firmware firmware;
        firmware.receive({0, c.command, c.argument});
        EXPECT_EQ(firmware.sinkLevel(c.port, c.pin), c.level);
    }
}

TEST(Firmware, ReadRequestEchoesItsCommandWithTheMaskedLevels)
{
    Firmware firmware;
    firmware.receive({0, 0x12, 0xBF});  // data 1.6 high
    firmware.drive(1, 0, true);

    struct Case {
        const char* name;
        OutputReport request;
        uint8_t value;
    };
    const Case cases[] = {
        {"1.6 from the data bit", {0, 0x16, 0x40}, 0x40},
        {"1.0 driven", {0, 0x17, 0x01}, 0x01},
        {"1.5 low", {0, 0x16, 0x20}, 0x00},
        {"whole port", {0, 0x17, 0xFF}, 0x41},
        {"mask 0", {0, 0x16, 0x00}, 0x00},
        {"other port", {0, 0x27, 0xFF}, 0x00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto answer = firmware.receive(c.request);
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->command, c.request.command);
        EXPECT_EQ(answer->value, c.value);
        EXPECT_EQ(firmware.latest().command, c.request.command) << "the answer is repeated";
    }

    firmware.drive(1, 6, false);  // outside wins over the data bit
    EXPECT_EQ(firmware.receive({0, 0x16, 0x40})->value, 0x00);
    firmware.release(1, 6);
    EXPECT_EQ(firmware.receive({0, 0x16, 0x40})->value, 0x40);

    firmware.receive({0, 0x11, 0x40});
    EXPECT_EQ(firmware.latest().command, 0x16) << "only answers become the latest report";
    EXPECT_EQ(firmware.received().size(), 10u);
}
