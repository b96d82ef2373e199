// A simulated board served on one hidraw node of a Testbed, on a thread of
// its own. It behaves like the board's interrupt IN endpoint: it sends input
// reports at a steady cadence, repeating its latest one, and never has more
// than kQueueLimit reports waiting for the host (newer ones are dropped, as
// the kernel's hidraw queue does). Reports reach the host as hidraw delivers
// them: 2 bytes each, [command, value], without the report id.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "zorsim/firmware.h"

namespace zorsim {

struct BoardOptions {
    // How often the board sends a report. Zero: the board sends nothing on
    // its own; it sends one report at start and answers each read request
    // with the answer followed by one repeat, so a report is always waiting
    // when the host next reads (for measuring the host's own cost).
    std::chrono::microseconds cadence{1000};
};

// One report crossing the node, for tracing.
struct Traffic {
    bool toBoard;        // host -> board when true
    uint8_t bytes[3];    // as [0, command, argument] or [0, command, value]
};

class Board {
public:
    static constexpr int kQueueLimit = 64;

    // Serves the pty master `fd` (from Testbed) until destroyed or unplugged.
    explicit Board(int fd, BoardOptions options = {});
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Firmware access, safe from any thread.
    void drive(int port, int bit, bool level);
    std::vector<OutputReport> received() const;
    // Waits until at least `count` output reports have arrived.
    bool waitForReceived(size_t count, std::chrono::milliseconds timeout) const;

    // Faults. Injected reports, answers and the reports put before a late
    // answer are the test's script: they wait for room in the host's queue
    // instead of being dropped, and no repeat is sent while any is waiting.
    void setSilent(bool silent);                // stop (or resume) sending
    void inject(std::vector<InputReport> reports); // sent next, ahead of the cadence
    // Answer the next read request after k other reports: repeats of the
    // report that was latest before the request, so none of them matches it.
    void answerLate(int k);
    // Each report arrives alone and 1 byte long (0), so every host read fails.
    void setBrokenReports(bool broken);
    // Hang up the node: the host's reads then see the end, its writes fail.
    // Returns once done, except when called from onTraffic's callback.
    void unplug();

    // Reports sent to the host, and how many of them it has not read yet.
    uint64_t sent() const;
    int pending() const;
    // Repeats not sent because kQueueLimit reports were waiting.
    uint64_t dropped() const;

    // Called on the board's thread for every report crossing the node.
    void onTraffic(std::function<void(const Traffic&)> callback);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zorsim
