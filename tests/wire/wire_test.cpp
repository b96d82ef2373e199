// The pin commands and the read exchange as a client sees them: the library
// through its Linux host layer, on a faked hidraw node served by the
// simulated board. Runs under umockdev-wrapper.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zoriolib.h"
#include "zorsim/board.h"
#include "zorsim/testbed.h"

using namespace std::chrono_literals;
using zorsim::Board;
using zorsim::BoardOptions;
using zorsim::Traffic;

namespace {

using Bytes = std::array<uint8_t, 3>;

Bytes Of(const OutputReport& r) { return {r.reportId, r.command, r.argument}; }

// Polls a condition; the generous default only matters when something is wrong.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s)
{
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class Wire : public ::testing::Test {
protected:
    void Start(BoardOptions options = {})
    {
        board = std::make_unique<Board>(testbed.addUsbHid(0), options);
        InitZorLibraries();
        ASSERT_NE(OpenFirstZorDevice(&device), -1);
    }

    void TearDown() override
    {
        CloseZorDevice(&device);
        board.reset();
    }

    // Reads one report past the library, as [command, value].
    std::array<uint8_t, 2> RawRead()
    {
        std::array<uint8_t, 2> bytes{};
        EXPECT_EQ(read(static_cast<int>(device.handle), bytes.data(), 2), 2);
        return bytes;
    }

    // On a board with cadence 0: takes away the report sent at start, so the
    // next report the host reads is the next one the board sends.
    void TakeStartReport()
    {
        ASSERT_TRUE(WaitFor([&] { return board->pending() == 1; }));
        RawRead();
    }

    // Reports read by the host so far, once the board's counts have settled.
    uint64_t HostReads() const { return board->sent() - static_cast<uint64_t>(board->pending()); }

    // Records what the board sends; the value bytes are not visible otherwise.
    void RecordTraffic()
    {
        board->onTraffic([this](const Traffic& t) {
            std::lock_guard<std::mutex> lock(trafficMutex);
            traffic.push_back(t);
        });
    }

    size_t ReportsSent()
    {
        std::lock_guard<std::mutex> lock(trafficMutex);
        return std::count_if(traffic.begin(), traffic.end(), [](const Traffic& t) { return !t.toBoard; });
    }

    // The value byte of the last report sent with this command byte.
    int LastValueSent(uint8_t command)
    {
        std::lock_guard<std::mutex> lock(trafficMutex);
        for (auto t = traffic.rbegin(); t != traffic.rend(); ++t)
            if (!t->toBoard && t->bytes[1] == command)
                return t->bytes[2];
        return -1;
    }

    zorsim::Testbed testbed;
    std::unique_ptr<Board> board;  // after the testbed: goes first
    ZorDevice device{};
    std::mutex trafficMutex;
    std::vector<Traffic> traffic;
};

TEST_F(Wire, OutputCommandsWriteOneReportEach)
{
    Start();
    struct Case {
        const char* call;
        std::function<int32_t(ZorDevice*)> send;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"SetDataBit(0,6,1)", [](ZorDevice* d) { return SetDataBit(d, 0, 6, 1); }, {0x00, 0x02, 0xBF}},
        {"SetDataBit(0,7,0)", [](ZorDevice* d) { return SetDataBit(d, 0, 7, 0); }, {0x00, 0x01, 0x80}},
        {"SetPullupBit(1,0,1)", [](ZorDevice* d) { return SetPullupBit(d, 1, 0, 1); }, {0x00, 0x14, 0xFE}},
        {"SetPullupBit(1,0,0)", [](ZorDevice* d) { return SetPullupBit(d, 1, 0, 0); }, {0x00, 0x13, 0x01}},
        {"SetISink(0,6,15)", [](ZorDevice* d) { return SetISink(d, 0, 6, 15); }, {0x00, 0x05, 0xF6}},
        {"SetDataBit(2,8,0)", [](ZorDevice* d) { return SetDataBit(d, 2, 8, 0); }, {0x00, 0x21, 0x00}},
        {"SetDataBit(2,8,1)", [](ZorDevice* d) { return SetDataBit(d, 2, 8, 1); }, {0x00, 0x22, 0xFF}},
        // Bits 8 to 31 select no pin; larger ones count modulo 32.
        {"SetPullupBit(3,31,1)", [](ZorDevice* d) { return SetPullupBit(d, 3, 31, 1); }, {0x00, 0x34, 0xFF}},
        {"SetDataBit(0,32,0)", [](ZorDevice* d) { return SetDataBit(d, 0, 32, 0); }, {0x00, 0x01, 0x01}},
        {"SetDataBit(0,33,1)", [](ZorDevice* d) { return SetDataBit(d, 0, 33, 1); }, {0x00, 0x02, 0xFD}},
        {"SetPullupBit(0,39,0)", [](ZorDevice* d) { return SetPullupBit(d, 0, 39, 0); }, {0x00, 0x03, 0x80}},
        // Ports lose their high bits.
        {"SetDataBit(16,0,0)", [](ZorDevice* d) { return SetDataBit(d, 16, 0, 0); }, {0x00, 0x01, 0x01}},
        {"SetDataBit(0x1F,1,0)", [](ZorDevice* d) { return SetDataBit(d, 0x1F, 1, 0); }, {0x00, 0xF1, 0x02}},
        {"SetISink(0xFF,7,0)", [](ZorDevice* d) { return SetISink(d, 0xFF, 7, 0); }, {0x00, 0xF5, 0x07}},
        // The pin is not cut to 4 bits, the intensity is cut to 8 with it.
        {"SetISink(0,0x16,1)", [](ZorDevice* d) { return SetISink(d, 0, 0x16, 1); }, {0x00, 0x05, 0x16}},
        {"SetISink(2,3,0x1F)", [](ZorDevice* d) { return SetISink(d, 2, 3, 0x1F); }, {0x00, 0x25, 0xF3}},
        // Any nonzero value sets.
        {"SetDataBit(1,2,2)", [](ZorDevice* d) { return SetDataBit(d, 1, 2, 2); }, {0x00, 0x12, 0xFB}},
        {"SetPullupBit(1,2,0xFF)", [](ZorDevice* d) { return SetPullupBit(d, 1, 2, 0xFF); }, {0x00, 0x14, 0xFB}},
    };
    for (const Case& c : cases)
        EXPECT_NE(c.send(&device), 0) << c.call;

    ASSERT_TRUE(board->waitForReceived(cases.size(), 10s));
    std::vector<OutputReport> received = board->received();
    ASSERT_EQ(received.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(Of(received[i]), cases[i].bytes) << cases[i].call;
}

TEST_F(Wire, CommandsOnARecordWithoutADeviceFailAndWriteNothing)
{
    Start();
    board->drive(1, 0, true);  // a read that got through would give 1
    ZorDevice never{};
    never.handle = -1;
    ZorDevice closed{};
    ASSERT_NE(OpenFirstZorDevice(&closed), -1);
    CloseZorDevice(&closed);

    for (ZorDevice* record : {&never, &closed}) {
        SCOPED_TRACE(record == &never ? "handle -1" : "closed");
        EXPECT_EQ(SetDataBit(record, 0, 6, 1), 0);
        EXPECT_EQ(SetPullupBit(record, 0, 6, 1), 0);
        EXPECT_EQ(SetISink(record, 0, 6, 15), 0);
        EXPECT_EQ(ReadDataBit(record, 1, 0), 0);
        EXPECT_EQ(record->handle, -1);
    }

    // Whatever came before this marker would have been written by the above.
    ASSERT_NE(SetDataBit(&device, 5, 5, 0), 0);
    ASSERT_TRUE(board->waitForReceived(1, 10s));
    std::vector<OutputReport> received = board->received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(Of(received[0]), (Bytes{0x00, 0x51, 0x20}));
}

TEST_F(Wire, CommandsOnAnUnpluggedBoardFail)
{
    Start();
    board->drive(1, 0, true);
    board->unplug();
    EXPECT_EQ(SetDataBit(&device, 0, 6, 1), 0);
    EXPECT_EQ(SetPullupBit(&device, 0, 6, 1), 0);
    EXPECT_EQ(SetISink(&device, 0, 6, 15), 0);
    EXPECT_EQ(ReadDataBit(&device, 1, 0), 0);
}

TEST_F(Wire, ReadRequestOpcodeDiffersFromTheReportReadFirst)
{
    Start(BoardOptions{0us});
    board->drive(1, 0, true);
    board->drive(2, 1, true);
    struct Case {
        uint8_t firstCommand;  // of the report the host reads before the request
        uint8_t port;
        uint8_t bit;
        Bytes request;
        uint8_t result;
    };
    const Case cases[] = {
        {0x16, 1, 0, {0x00, 0x17, 0x01}, 1},
        {0x07, 1, 0, {0x00, 0x16, 0x01}, 1},
        {0x26, 1, 0, {0x00, 0x17, 0x01}, 1},  // only the low 4 bits count
        {0x00, 3, 7, {0x00, 0x36, 0x80}, 0},
        {0xF6, 0x12, 33, {0x00, 0x27, 0x02}, 1},
    };
    TakeStartReport();
    size_t count = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "first command " << int(c.firstCommand));
        board->inject({{0, c.firstCommand, 0x55}});
        ASSERT_TRUE(WaitFor([&] { return board->pending() == 1; }));
        EXPECT_EQ(ReadDataBit(&device, c.port, c.bit), c.result);
        ASSERT_TRUE(board->waitForReceived(++count, 10s));
        EXPECT_EQ(Of(board->received().back()), c.request);
        RawRead();  // the repeat after the answer
    }
}

TEST_F(Wire, ReadGivesOneForAnyNonzeroValueByte)
{
    Start(BoardOptions{0us});
    // Once it is queued the start report has been traced without a recorder.
    ASSERT_TRUE(WaitFor([&] { return board->pending() == 1; }));
    RecordTraffic();
    struct Case {
        const char* name;
        bool level;  // of pin 1.6
        uint8_t port, bit;
        uint8_t value;  // the answer's value byte
        uint8_t result;
    };
    const Case cases[] = {
        {"1.6 high", true, 1, 6, 0x40, 1},
        {"1.6 low", false, 1, 6, 0x00, 0},
        {"1.5 beside a high 1.6", true, 1, 5, 0x00, 0},
        {"bit 8 selects no pin", true, 1, 8, 0x00, 0},
        {"port 17 is port 1", true, 17, 6, 0x40, 1},
    };
    size_t sent = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        board->drive(1, 6, c.level);
        EXPECT_EQ(ReadDataBit(&device, c.port, c.bit), c.result);
        sent += 2;  // the answer and its repeat
        ASSERT_TRUE(WaitFor([&] { return ReportsSent() == sent; }));
        uint8_t command = board->received().back().command;
        EXPECT_EQ(LastValueSent(command), c.value);
    }
}

// A board with cadence 0 sends exactly what the test scripts, so the number
// of reports the host read can be told from the board's counts.
TEST_F(Wire, AnswerIsLookedForInTheNext1024ReportsOnly)
{
    Start(BoardOptions{0us});
    board->drive(1, 0, true);
    ASSERT_TRUE(WaitFor([&] { return board->pending() == 1; }));  // the start report
    struct Case {
        int late;       // reports before the answer
        uint8_t result;
        int left;       // reports the host has not read afterwards
    };
    const Case cases[] = {
        {0, 1, 1},
        {1023, 1, 1},  // the 1024th report after the request
        {1024, 0, 2},  // the 1025th: neither it nor the repeat is read
    };
    uint64_t reads = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "answer after " << c.late);
        uint64_t before = board->sent();
        board->answerLate(c.late);
        EXPECT_EQ(ReadDataBit(&device, 1, 0), c.result);
        // k others, the answer and one repeat.
        uint64_t expectedSent = before + static_cast<uint64_t>(c.late) + 2;
        EXPECT_TRUE(WaitFor([&] { return board->sent() == expectedSent && board->pending() == c.left; }))
            << "sent " << board->sent() << ", pending " << board->pending();
        reads += 1 + std::min(c.late + 1, 1024);
        EXPECT_EQ(HostReads(), reads);
        for (int i = 1; i < c.left; ++i)  // leave one report for the next first read
            RawRead();
        reads += static_cast<uint64_t>(c.left > 1 ? c.left - 1 : 0);
    }
}

TEST_F(Wire, ReportsForOtherRequestsAreSkippedUpToTheLimit)
{
    Start(BoardOptions{0us});
    board->drive(2, 0, true);
    // The start report (command 0x00) makes the request 0x26; these name the
    // same opcode on another port, so none of them is its answer.
    board->inject(std::vector<InputReport>(1100, InputReport{0, 0x16, 0xFF}));
    EXPECT_EQ(ReadDataBit(&device, 2, 0), 0);
    ASSERT_TRUE(board->waitForReceived(1, 10s));
    EXPECT_EQ(Of(board->received().back()), (Bytes{0x00, 0x26, 0x01}));
    // 1 before the request and 1024 after; the board then fills the queue.
    EXPECT_TRUE(WaitFor([&] { return board->pending() == Board::kQueueLimit && board->sent() == 1025 + 64; }))
        << "sent " << board->sent() << ", pending " << board->pending();
}

TEST_F(Wire, FirstReadTimingOutStillSendsTheRequest)
{
    Start(BoardOptions{0us});
    board->drive(1, 0, true);
    TakeStartReport();  // nothing waits now, and a cadence-0 board sends nothing unasked
    EXPECT_EQ(ReadDataBit(&device, 1, 0), 1);
    std::vector<OutputReport> received = board->received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(Of(received[0]), (Bytes{0x00, 0x16, 0x01}));
}

TEST_F(Wire, SilentBoardEndsTheRead)
{
    Start();
    board->drive(1, 0, true);
    ASSERT_TRUE(WaitFor([&] { return board->sent() >= 5; }));
    board->setSilent(true);
    EXPECT_EQ(ReadDataBit(&device, 1, 0), 0);
    EXPECT_TRUE(board->waitForReceived(1, 10s)) << "the request was sent";
}

TEST_F(Wire, ReportsThatCannotBeReadEndTheRead)
{
    Start();
    board->drive(1, 0, true);
    board->setBrokenReports(true);
    while (board->pending() > 0)  // the whole reports sent before
        RawRead();
    uint64_t before = board->sent();
    EXPECT_EQ(ReadDataBit(&device, 1, 0), 0);
    // Each failed read used up a report: the call did not end on a time-out.
    EXPECT_GE(board->sent() - before, 1024u);
    ASSERT_TRUE(board->waitForReceived(1, 10s));
    std::vector<OutputReport> received = board->received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(Of(received[0]), (Bytes{0x00, 0x16, 0x01}));
}

// Unplugged once the request arrived, or after that many more reports.
class UnplugDuringRead : public Wire, public ::testing::WithParamInterface<int> {};

TEST_P(UnplugDuringRead, ReturnsZeroAtOnce)
{
    Start(BoardOptions{0us});
    board->drive(1, 0, true);
    board->answerLate(5000);
    const int after = GetParam();
    auto counted = std::make_shared<int>(-1);  // the board thread's own
    board->onTraffic([this, after, counted](const Traffic& t) {
        if (t.toBoard)
            *counted = 0;
        else if (*counted >= 0)
            ++*counted;
        if (*counted == after)
            board->unplug();
    });
    // Without the hang-up being seen this would take 1024 one-second time-outs.
    EXPECT_EQ(ReadDataBit(&device, 1, 0), 0);
    EXPECT_EQ(ReadDataBit(&device, 1, 0), 0);
    EXPECT_EQ(board->received().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Wire, UnplugDuringRead, ::testing::Values(0, 100));

// The simulated board's own behaviour that the tests above rely on.
TEST_F(Wire, BoardKeepsItsOldestReportsWhenTheHostDoesNotRead)
{
    Start();
    ASSERT_TRUE(WaitFor([&] { return board->dropped() >= 3; }));
    EXPECT_EQ(board->pending(), Board::kQueueLimit);
    EXPECT_EQ(board->sent(), static_cast<uint64_t>(Board::kQueueLimit));

    // Script reports wait for room rather than being dropped.
    std::vector<InputReport> script;
    for (int i = 0; i < 100; ++i)
        script.push_back({0, 0x30, static_cast<uint8_t>(i)});
    board->inject(script);
    for (int i = 0; i < Board::kQueueLimit; ++i)
        ASSERT_EQ(RawRead(), (std::array<uint8_t, 2>{0x00, 0x00})) << "stale report " << i;
    for (int i = 0; i < 100; ++i) {
        ASSERT_LE(board->pending(), Board::kQueueLimit);
        ASSERT_EQ(RawRead(), (std::array<uint8_t, 2>{0x30, static_cast<uint8_t>(i)})) << "script report " << i;
    }

    // A read after a full backlog still finds its answer.
    board->drive(1, 0, true);
    ASSERT_TRUE(WaitFor([&] { return board->pending() == Board::kQueueLimit; }));
    EXPECT_EQ(ReadDataBit(&device, 1, 0), 1);
}

TEST_F(Wire, BoardJoinsReportsSplitAcrossWrites)
{
    Start();
    const uint8_t bytes[] = {0x00, 0x02, 0xBF, 0x00, 0x01, 0x80};
    int fd = static_cast<int>(device.handle);
    for (uint8_t b : bytes) {
        ASSERT_EQ(write(fd, &b, 1), 1);
        std::this_thread::sleep_for(2ms);  // lets the board read most bytes alone
    }
    ASSERT_NE(SetISink(&device, 0, 6, 15), 0);
    ASSERT_TRUE(board->waitForReceived(3, 10s));
    std::vector<OutputReport> received = board->received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(Of(received[0]), (Bytes{0x00, 0x02, 0xBF}));
    EXPECT_EQ(Of(received[1]), (Bytes{0x00, 0x01, 0x80}));
    EXPECT_EQ(Of(received[2]), (Bytes{0x00, 0x05, 0xF6}));
}

}  // namespace
