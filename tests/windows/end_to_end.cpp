// The real zoriolib.dll and zorprobe.exe on the Windows code path, against
// simulated boards served over named pipes, with the stand-in setupapi.dll
// and hid.dll beside this program.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board_host.h"
#include "check.h"
#include "child.h"
#include "standin/standin.h"
#include "zoriolib.h"

using namespace zorwin;

// Global, so that std::vector's comparison finds it.
static bool operator==(const OutputReport &a, const OutputReport &b)
{
    return a.reportId == b.reportId && a.command == b.command && a.argument == b.argument;
}

namespace {

using Indexes = std::vector<uint32_t>;

Indexes Range(uint32_t from, uint32_t to)
{
    Indexes r;
    for (uint32_t i = from; i < to; ++i)
        r.push_back(i);
    return r;
}

// Makes the stand-ins of this process list the host's interfaces.
void Serve(const BoardHost &host) { ZorwinStandinConfigure(host.table().c_str()); }

// What one scan asked of the stand-in setupapi.dll since the last call: the
// indexes examined, and whether each was examined in a set of its own, built
// and destroyed around it.
struct Scan {
    bool ownSets = true;
    Indexes indexes;
    std::string trace;
};

Scan TakeScan()
{
    std::vector<ZorwinEvent> events(4096);
    int n = ZorwinStandinEvents(events.data(), (int)events.size());
    ZorwinStandinClearEvents();
    Scan scan;
    if (n > (int)events.size()) {
        scan.ownSets = false;
        n = (int)events.size();
    }
    for (int k = 0; k < n; ++k) {
        char item[32];
        std::snprintf(item, sizeof item, events[k].kind == ZorwinSetEnumerated ? "%s%c%d:%u" : "%s%c%d",
                      k ? " " : "", events[k].kind, events[k].set, events[k].index);
        scan.trace += item;
    }
    if (n % 3 != 0)
        scan.ownSets = false;
    int lastSet = 0;
    for (int k = 0; k + 2 < n; k += 3) {
        const ZorwinEvent *e = &events[k];
        int s = e[0].set;
        if (e[0].kind != ZorwinSetBuilt || e[1].kind != ZorwinSetEnumerated || e[2].kind != ZorwinSetDestroyed ||
            e[1].set != s || e[2].set != s || s <= lastSet)
            scan.ownSets = false;
        lastSet = s;
        scan.indexes.push_back(e[1].index);
    }
    if (ZorwinStandinLiveSets() != 0)
        scan.ownSets = false;
    return scan;
}

std::string Describe(const Scan &s) { return "sets: " + s.trace; }

std::string DetailPath(const ZorDevice &d)
{
    return d.interfaceDetail ? std::string(static_cast<const char *>(d.interfaceDetail) + 4) : "(none)";
}

std::string Hex(const std::vector<OutputReport> &reports)
{
    std::string s;
    for (const OutputReport &r : reports) {
        char item[16];
        std::snprintf(item, sizeof item, "%s%02X %02X %02X", s.empty() ? "" : ", ", r.reportId, r.command,
                      r.argument);
        s += item;
    }
    return s;
}

std::vector<OutputReport> Reports(std::initializer_list<OutputReport> r) { return r; }

SimulatedInterface Unopenable()
{
    SimulatedInterface s = Board();
    s.opens = false;
    return s;
}

SimulatedInterface Nameless()
{
    SimulatedInterface s = Board();
    s.attributes = false;
    return s;
}

// Runs `call` on its own thread and gives up waiting after `seconds`, so a
// hang fails the test instead of stalling the run.
template <typename Result>
bool FinishesWithin(double seconds, std::function<Result()> call, Result *result)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto value = std::make_shared<Result>();
    std::thread worker([=] {
        *value = call();
        *done = true;
    });
    for (int waited = 0; !*done && waited < seconds * 1000; ++waited)
        Sleep(1);
    if (!*done) {
        worker.detach();
        return false;
    }
    worker.join();
    *result = *value;
    return true;
}

}  // namespace

TEST(discovery, BoardsAtThreeAndFiveWithAnotherBetween)
{
    BoardHost host({Other(0x1234, 0x5678, 0x0001), Other(0xFF00, 0xFF01, 0x0001), Other(0xFF01, 0xFF00, 0x0001),
                    Board(), Other(0x00FF, 0xFF00, 0x0001), Board()});
    Serve(host);
    ZorDevice a = {}, b = {};

    intptr_t first = OpenFirstZorDevice(&a);
    Scan scan = TakeScan();
    REQUIRE(first != -1);
    CHECK(a.handle == first);
    CHECK(a.interfaceIndex == 3);
    CHECK_AT(DetailPath(a) == host.path(3), DetailPath(a));
    CHECK_AT(scan.ownSets && scan.indexes == Range(0, 4), Describe(scan));

    intptr_t next = OpenNextZorDevice(&a, &b);
    scan = TakeScan();
    REQUIRE(next != -1);
    CHECK(b.interfaceIndex == 5);
    CHECK_AT(DetailPath(b) == host.path(5), DetailPath(b));
    CHECK_AT(scan.ownSets && scan.indexes == Range(4, 6), Describe(scan));

    // Each record reaches its own board: the first stayed open.
    CHECK(SetDataBit(&a, 0, 1, 1) != 0);
    CHECK(SetDataBit(&b, 0, 2, 1) != 0);
    CHECK(host.waitReceived(3, 1) && host.waitReceived(5, 1));
    CHECK_AT(host.received(3) == Reports({{0x00, 0x02, 0xFD}}), Hex(host.received(3)));
    CHECK_AT(host.received(5) == Reports({{0x00, 0x02, 0xFB}}), Hex(host.received(5)));

    // The interfaces passed over were opened, examined and closed again.
    for (size_t i : {0, 1, 2, 4}) {
        CHECK_AT(host.waitAccepted(i, 1), "index " + std::to_string(i));
        CHECK_AT(host.waitConnections(i, 0), "index " + std::to_string(i));
    }
    CHECK(host.waitConnections(3, 1) && host.waitConnections(5, 1));
    CloseZorDevice(&a);
    CloseZorDevice(&b);
    CHECK(host.waitAllClosed());
}

TEST(discovery, RejectedAndUnreachableInterfaces)
{
    struct Case {
        const char *name;
        std::vector<SimulatedInterface> interfaces;
        int found;                     // index of the board opened, or -1
        std::vector<Indexes> examined; // what the scan may have examined
    };
    // A scan that finds nothing may end at the first index with no interface
    // or go on to 255.
    const Case cases[] = {
        {"version 0x0002", {Other(0xFF00, 0xFF00, 0x0002), Board()}, 1, {Range(0, 2)}},
        {"two others in a row", {Other(0xFF00, 0xFF00, 0x0000), Other(0x00FF, 0x00FF, 0x0001), Board()}, 2,
         {Range(0, 3)}},
        {"path cannot be opened", {Unopenable(), Board()}, 1, {Range(0, 2)}},
        {"identity cannot be read", {Other(0x1234, 0x5678, 0x0001), Nameless(), Board()}, -1, {Range(0, 2)}},
        {"no interface", {}, -1, {Range(0, 1), Range(0, 256)}},
        {"only others", {Other(0xFF00, 0xFF00, 0x0002)}, -1, {Range(0, 2), Range(0, 256)}},
    };
    for (const Case &c : cases) {
        BoardHost host(c.interfaces);
        Serve(host);
        ZorDevice d = {};
        d.interfaceIndex = 77;
        intptr_t handle = OpenFirstZorDevice(&d);
        Scan scan = TakeScan();
        std::string context = std::string(c.name) + "; " + Describe(scan);
        bool examined = false;
        for (const Indexes &e : c.examined)
            examined = examined || scan.indexes == e;
        CHECK_AT(scan.ownSets && examined, context);
        if (c.found == -1) {
            CHECK_AT(handle == -1 && d.handle == -1 && d.interfaceDetail == nullptr, context);
            CHECK_AT(d.interfaceIndex == 77, context);
        } else {
            CHECK_AT(handle != -1 && d.handle == handle, context);
            CHECK_AT(d.interfaceIndex == (uint32_t)c.found, context);
            CHECK_AT(DetailPath(d) == host.path(c.found), context);
            CloseZorDevice(&d);
        }
        // Whatever the scan opened, it closed, the unreadable one included.
        for (uint32_t i : scan.indexes)
            if (i < c.interfaces.size() && c.interfaces[i].opens)
                CHECK_AT(host.waitAccepted(i, 1), context + "; index " + std::to_string(i));
        CHECK_AT(host.waitAllClosed(), context);
    }
}

TEST(discovery, OpenNextNearTheLastIndex)
{
    BoardHost host({Board()});
    Serve(host);
    int marker;
    for (uint32_t previousIndex : {255u, 256u, 0xFFFFFFFFu}) {
        ZorDevice previous = {};
        previous.interfaceIndex = previousIndex;
        ZorDevice next = {1234, &marker, 42};
        std::string context = "from " + std::to_string(previousIndex);
        CHECK_AT(OpenNextZorDevice(&previous, &next) == -1, context);
        CHECK_AT(next.handle == 1234 && next.interfaceDetail == &marker && next.interfaceIndex == 42, context);
        Scan scan = TakeScan();
        CHECK_AT(scan.indexes.empty() && scan.trace.empty(), context + "; " + Describe(scan));
    }
    // From 254 only 255 is left to examine.
    ZorDevice previous = {};
    previous.interfaceIndex = 254;
    ZorDevice next = {};
    CHECK(OpenNextZorDevice(&previous, &next) == -1);
    CHECK(next.handle == -1 && next.interfaceDetail == nullptr);
    Scan scan = TakeScan();
    CHECK_AT(scan.ownSets && scan.indexes == Indexes{255}, Describe(scan));
    CHECK(host.accepted(0) == 0);
}

TEST(discovery, CloseThenOpenNextOnTheSameRecordResumes)
{
    BoardHost host({Other(0x1234, 0x5678, 0x0001), Board(), Board()});
    Serve(host);
    InitZorLibraries();  // again: changes nothing
    ZorDevice d = {};
    REQUIRE(OpenFirstZorDevice(&d) != -1);
    CHECK(d.interfaceIndex == 1);
    CloseZorDevice(&d);
    CHECK(d.handle == -1 && d.interfaceDetail == nullptr && d.interfaceIndex == 1);
    CHECK(host.waitAccepted(1, 1) && host.waitConnections(1, 0));
    TakeScan();

    REQUIRE(OpenNextZorDevice(&d, &d) != -1);
    Scan scan = TakeScan();
    CHECK(d.interfaceIndex == 2);
    CHECK_AT(DetailPath(d) == host.path(2), DetailPath(d));
    CHECK_AT(scan.ownSets && scan.indexes == Indexes{2}, Describe(scan));
    CloseZorDevice(&d);

    CHECK(OpenNextZorDevice(&d, &d) == -1);
    scan = TakeScan();
    CHECK(d.handle == -1 && d.interfaceDetail == nullptr && d.interfaceIndex == 2);
    CHECK_AT(scan.ownSets && !scan.indexes.empty() && scan.indexes[0] == 3, Describe(scan));
    CHECK(host.waitAccepted(1, 1) && host.waitAccepted(2, 1));
    CHECK(host.waitAllClosed());
}

TEST(wire, CommandBytesAsTheBoardReceivesThem)
{
    struct Case {
        const char *name;
        int32_t (*send)(ZorDevice *);
        OutputReport bytes;
    };
    const Case cases[] = {
        {"SetDataBit(0,6,1)", [](ZorDevice *d) { return SetDataBit(d, 0, 6, 1); }, {0x00, 0x02, 0xBF}},
        {"SetDataBit(0,7,0)", [](ZorDevice *d) { return SetDataBit(d, 0, 7, 0); }, {0x00, 0x01, 0x80}},
        {"SetPullupBit(1,0,1)", [](ZorDevice *d) { return SetPullupBit(d, 1, 0, 1); }, {0x00, 0x14, 0xFE}},
        {"SetPullupBit(1,0,0)", [](ZorDevice *d) { return SetPullupBit(d, 1, 0, 0); }, {0x00, 0x13, 0x01}},
        {"SetISink(0,6,15)", [](ZorDevice *d) { return SetISink(d, 0, 6, 15); }, {0x00, 0x05, 0xF6}},
        {"SetDataBit(2,8,0)", [](ZorDevice *d) { return SetDataBit(d, 2, 8, 0); }, {0x00, 0x21, 0x00}},
        {"SetDataBit(2,8,1)", [](ZorDevice *d) { return SetDataBit(d, 2, 8, 1); }, {0x00, 0x22, 0xFF}},
    };
    BoardHost host({Board()});
    Serve(host);
    ZorDevice d = {};
    REQUIRE(OpenFirstZorDevice(&d) != -1);
    size_t count = 0;
    for (const Case &c : cases) {
        CHECK_AT(c.send(&d) != 0, c.name);
        ++count;
        CHECK_AT(host.waitReceived(0, count), c.name);
        std::vector<OutputReport> received = host.received(0);
        CHECK_AT(received.size() == count && received.back() == c.bytes, std::string(c.name) + ": " + Hex(received));
    }
    CloseZorDevice(&d);
}

TEST(wire, ReadExchange)
{
    BoardHost host({Board()});
    host.drive(0, 1, 0, true);
    Serve(host);
    ZorDevice d = {};
    REQUIRE(OpenFirstZorDevice(&d) != -1);
    // A fresh board repeats an all-zero report, so the first request uses
    // opcode 6; each answer then becomes the report the next read starts
    // from, and the opcode alternates.
    const struct {
        bool level;
        uint8_t value;
        OutputReport request;
    } steps[] = {
        {true, 1, {0x00, 0x16, 0x01}},
        {true, 1, {0x00, 0x17, 0x01}},
        {true, 1, {0x00, 0x16, 0x01}},
        {false, 0, {0x00, 0x17, 0x01}},
    };
    size_t count = 0;
    for (const auto &step : steps) {
        host.drive(0, 1, 0, step.level);
        uint8_t value = ReadDataBit(&d, 1, 0);
        ++count;
        std::vector<OutputReport> received = host.received(0);
        std::string context = "step " + std::to_string(count) + ": " + Hex(received);
        CHECK_AT(value == step.value, context);
        CHECK_AT(received.size() == count && received.back() == step.request, context);
    }
    CloseZorDevice(&d);
}

TEST(wire, ReadsBackWhatWasWritten)
{
    BoardHost host({Board()});
    Serve(host);
    ZorDevice d = {};
    REQUIRE(OpenFirstZorDevice(&d) != -1);
    for (uint8_t level : {1, 0, 1}) {
        CHECK(SetDataBit(&d, 2, 3, level) != 0);
        CHECK_AT(ReadDataBit(&d, 2, 3) == level, "level " + std::to_string(level));
        CHECK(ReadDataBit(&d, 2, 4) == 0);  // its neighbour stays low
    }
    CloseZorDevice(&d);
}

TEST(fault, PipeClosingMidReadGivesZero)
{
    SimulatedInterface config = Board();
    config.dropOnRead = true;
    BoardHost host({config});
    host.drive(0, 1, 0, true);
    Serve(host);
    static ZorDevice d;  // outlives a reader left hanging
    d = ZorDevice{};
    REQUIRE(OpenFirstZorDevice(&d) != -1);
    uint8_t value = 99;
    bool finished = FinishesWithin<uint8_t>(20, [] { return ReadDataBit(&d, 1, 0); }, &value);
    REQUIRE(finished);
    CHECK(value == 0);
    CHECK(SetDataBit(&d, 0, 0, 1) == 0);  // the line is gone for writes too
    CloseZorDevice(&d);
    CHECK(host.waitAccepted(0, 1) && host.waitAllClosed());
}

TEST(zorprobe, WholeRunWithBoard)
{
    for (bool high : {true, false}) {
        BoardHost host({Other(0x1234, 0x5678, 0x0001), Board()});
        host.drive(1, 1, 0, high);
        ChildRun run = RunChild(ProgramDirectory() + "zorprobe.exe", 60, ZORWIN_TABLE_VARIABLE, host.table());
        std::string expected = std::string("ZOR libraries successfully initialized.\n"
                                           "ZOR device opened.\n"
                                           "Written '1' on 0.6, written '0' on 0.7\n"
                                           "Intensity set to 0xf on 0.6\n"
                                           "Value read from ZOR device: ") +
                               (high ? "1" : "0") +
                               "\n"
                               "ZOR device successfully closed.\n"
                               "Press ENTER to exit.\n";
        std::string context = std::string(high ? "pin high" : "pin low") + "; output: [" + run.output + "]";
        REQUIRE(run.started);
        CHECK_AT(run.finished && run.exitCode == 0, context + " exit " + std::to_string(run.exitCode));
        CHECK_AT(SameLines(run.output, expected), context);

        std::vector<OutputReport> received = host.received(1);
        CHECK_AT(received.size() == 4, Hex(received));
        if (received.size() == 4) {
            CHECK_AT(Reports({received[0], received[1], received[2]}) ==
                         Reports({{0x00, 0x02, 0xBF}, {0x00, 0x01, 0x80}, {0x00, 0x05, 0xF6}}),
                     Hex(received));
            CHECK_AT(received[3] == (OutputReport{0x00, 0x16, 0x01}) || received[3] == (OutputReport{0x00, 0x17, 0x01}),
                     Hex(received));
        }
        CHECK(host.waitAccepted(0, 1) && host.waitAccepted(1, 1));
        CHECK(host.waitAllClosed());
    }
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    InitZorLibraries();
    return check::RunAll(argc > 1 ? argv[1] : nullptr);
}
