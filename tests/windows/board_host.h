// Hosts simulated HID interfaces in the test process: each is a message-mode
// named pipe served by the firmware model, and the host writes the stand-ins'
// table describing them.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wire.h"
#include "zorsim/firmware.h"

namespace zorwin {

constexpr uint16_t kBoardVendor = 0xFF00, kBoardProduct = 0xFF00, kBoardVersion = 0x0001;

struct SimulatedInterface {
    uint16_t vendor = kBoardVendor;
    uint16_t product = kBoardProduct;
    uint16_t version = kBoardVersion;
    bool opens = true;       // false: the path names no pipe, so the open fails
    bool attributes = true;  // false: the identity cannot be read
    bool dropOnRead = false; // the board's pipe closes when a read request arrives
};

inline SimulatedInterface Board() { return {}; }
inline SimulatedInterface Other(uint16_t vendor, uint16_t product, uint16_t version)
{
    SimulatedInterface s;
    s.vendor = vendor;
    s.product = product;
    s.version = version;
    return s;
}

class BoardHost {
public:
    // Starts serving the interfaces, at indexes in the order given.
    explicit BoardHost(const std::vector<SimulatedInterface> &interfaces);
    ~BoardHost();
    BoardHost(const BoardHost &) = delete;
    BoardHost &operator=(const BoardHost &) = delete;

    // The stand-ins' table for these interfaces.
    const std::string &table() const { return table_; }
    std::string path(size_t index) const;

    void drive(size_t index, int port, int bit, bool level);
    // Output reports the board at `index` received, in order.
    std::vector<OutputReport> received(size_t index) const;
    // Waits (up to `seconds`) until the board has received `count` reports.
    bool waitReceived(size_t index, size_t count, double seconds = 10) const;
    // Clients connected now, and ever. A client's connection is taken up a
    // moment after its open returns, so tests wait for these.
    int connections(size_t index) const;
    int accepted(size_t index) const;
    // Wait (up to `seconds`) until the interface at `index` has accepted
    // `count` clients in all, or has `count` connected, or none is connected
    // to any interface.
    bool waitAccepted(size_t index, int count, double seconds = 10) const;
    bool waitConnections(size_t index, int count, double seconds = 10) const;
    bool waitAllClosed(double seconds = 10) const;

private:
    struct Interface;
    void serveInstance(Interface &i);
    void serveClient(Interface &i, HANDLE pipe);

    std::vector<std::unique_ptr<Interface>> interfaces_;
    std::vector<std::thread> threads_;
    HANDLE stop_;
    std::atomic<int> created_{0};
    std::string table_;
};

}  // namespace zorwin
