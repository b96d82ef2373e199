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

    // Faults.
    void setSilent(bool silent);                // stop (or resume) sending
    void inject(std::vector<InputReport> reports); // sent next, ahead of the cadence
    void answerLate(int k);                     // answer the next read request after k other reports
    void setBrokenReports(bool broken);         // each report arrives alone and short: host reads fail
    void unplug();                              // hang up the node

    // Reports sent to the host, and how many of them it has not read yet.
    uint64_t sent() const;
    int pending() const;

    // Called on the board's thread for every report crossing the node.
    void onTraffic(std::function<void(const Traffic&)> callback);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zorsim
