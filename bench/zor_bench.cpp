// Run: umockdev-wrapper build/bench/zor_bench
//
// Each pin call against the bare system calls it cannot do without, on the
// same simulated node: SetDataBit against one write of its 3 bytes, and
// ReadDataBit (board cadence 0, so one report is always waiting) against
// read 2 bytes, write 3, read 2, and against the same with a poll before
// each read, which bounding the wait for a report costs. The pairs run
// interleaved several times; the ratios of the medians (library / bare)
// print at the end.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zoriolib.h"
#include "zorsim/board.h"
#include "zorsim/testbed.h"

namespace {

struct Node {
    zorsim::Testbed testbed;
    std::unique_ptr<zorsim::Board> board;
    ZorDevice device{};
    int fd = -1;
};

Node* gNode;

void SetDataBitLibrary(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(SetDataBit(&gNode->device, 0, 6, 1));
}

void SetDataBitBare(benchmark::State& state)
{
    const uint8_t report[3] = {0x00, 0x02, 0xBF};
    for (auto _ : state)
        benchmark::DoNotOptimize(write(gNode->fd, report, sizeof report));
}

void ReadDataBitLibrary(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadDataBit(&gNode->device, 1, 0));
}

void ReadDataBitBare(benchmark::State& state)
{
    uint8_t in[2] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(read(gNode->fd, in, sizeof in));
        // The board answers only a request that differs from what it repeats.
        uint8_t request[3] = {0x00, static_cast<uint8_t>((in[0] & 0x0F) == 6 ? 0x17 : 0x16), 0x01};
        benchmark::DoNotOptimize(write(gNode->fd, request, sizeof request));
        benchmark::DoNotOptimize(read(gNode->fd, in, sizeof in));
    }
}

// The same with the wait for each report bounded, as the library's is: a
// poll before each read.
void ReadDataBitBareBounded(benchmark::State& state)
{
    uint8_t in[2] = {};
    pollfd wait = {gNode->fd, POLLIN, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(poll(&wait, 1, 1000));
        benchmark::DoNotOptimize(read(gNode->fd, in, sizeof in));
        uint8_t request[3] = {0x00, static_cast<uint8_t>((in[0] & 0x0F) == 6 ? 0x17 : 0x16), 0x01};
        benchmark::DoNotOptimize(write(gNode->fd, request, sizeof request));
        benchmark::DoNotOptimize(poll(&wait, 1, 1000));
        benchmark::DoNotOptimize(read(gNode->fd, in, sizeof in));
    }
}

// Keeps every repetition's time per benchmark name.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times[run.benchmark_name()].push_back(run.GetAdjustedRealTime());
    }

    double Median(const std::string& name) const
    {
        auto found = times.find(name);
        if (found == times.end() || found->second.empty())
            return 0;
        std::vector<double> v = found->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> times;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    Node node;
    node.board = std::make_unique<zorsim::Board>(node.testbed.addUsbHid(0),
                                                 zorsim::BoardOptions{std::chrono::microseconds(0)});
    node.board->drive(1, 0, true);
    InitZorLibraries();
    if (OpenFirstZorDevice(&node.device) == -1) {
        std::fprintf(stderr, "no simulated board found: run under umockdev-wrapper\n");
        return 1;
    }
    node.fd = static_cast<int>(node.device.handle);
    gNode = &node;

    struct Pair {
        const char* library;
        void (*libraryFn)(benchmark::State&);
        const char* bare;
        void (*bareFn)(benchmark::State&);
    };
    const Pair pairs[] = {
        {"SetDataBit", SetDataBitLibrary, "write", SetDataBitBare},
        {"ReadDataBit", ReadDataBitLibrary, "read+write+read", ReadDataBitBare},
        {"ReadDataBit", ReadDataBitLibrary, "bounded (poll before each read)", ReadDataBitBareBounded},
    };
    // Interleaved rounds, so that drift in the machine's load hits both
    // sides; each side goes first in every other round, since the first of a
    // pair meets the board's backlog from the run before.
    for (int round = 0; round < 8; ++round)
        for (const Pair& p : pairs) {
            auto* first = benchmark::RegisterBenchmark(round % 2 ? p.bare : p.library,
                                                       round % 2 ? p.bareFn : p.libraryFn);
            auto* second = benchmark::RegisterBenchmark(round % 2 ? p.library : p.bare,
                                                        round % 2 ? p.libraryFn : p.bareFn);
            first->UseRealTime();
            second->UseRealTime();
        }

    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    std::printf("\nratio library / bare (median of rounds):\n");
    for (const Pair& p : pairs) {
        std::string library = std::string(p.library) + "/real_time";
        std::string bare = std::string(p.bare) + "/real_time";
        double l = collector.Median(library);
        double b = collector.Median(bare);
        std::printf("  %-12s %10.0f ns  %-32s %10.0f ns  ratio %.3f\n", p.library, l, p.bare, b,
                    b > 0 ? l / b : 0.0);
    }
    CloseZorDevice(&node.device);
    node.board.reset();
    benchmark::Shutdown();
    return 0;
}
