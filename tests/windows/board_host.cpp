#include "board_host.h"

#include <chrono>
#include <cstdio>
#include <functional>

namespace zorwin {
namespace {

// Instances per interface, so that reopening while the previous client's
// instance is still being recycled never meets ERROR_PIPE_BUSY.
constexpr DWORD kInstances = 3;
// Reports the pipe holds for a client that is not reading, like the HID
// driver's input queue; a client then reads older reports first.
constexpr DWORD kQueuedReports = 32;
constexpr auto kCadence = std::chrono::milliseconds(1);

std::atomic<int> gHostSerial{0};

HANDLE NewPipe(const std::string &path)
{
    return CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, kInstances,
                            kQueuedReports * kReportSize, kQueuedReports * kReportSize, 0, nullptr);
}

// Ends an overlapped operation that may still be pending, so its buffer and
// event can go.
void Finish(HANDLE pipe, OVERLAPPED &o, bool pending)
{
    if (!pending)
        return;
    DWORD n;
    CancelIoEx(pipe, &o);
    GetOverlappedResult(pipe, &o, &n, TRUE);
}

bool WaitUntil(double seconds, const std::function<bool()> &done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        Sleep(1);
    }
    return true;
}

}  // namespace

struct BoardHost::Interface {
    SimulatedInterface config;
    std::string path;
    mutable std::mutex lock;
    zorsim::Firmware firmware;
    std::atomic<int> connections{0};
    std::atomic<int> accepted{0};
};

BoardHost::BoardHost(const std::vector<SimulatedInterface> &interfaces) : stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    int serial = ++gHostSerial;
    for (size_t index = 0; index < interfaces.size(); ++index) {
        auto i = std::make_unique<Interface>();
        i->config = interfaces[index];
        char path[128];
        std::snprintf(path, sizeof path, "\\\\.\\pipe\\zorwin-%lu-%d-%zu%s", GetCurrentProcessId(), serial, index,
                      i->config.opens ? "" : "-absent");
        i->path = path;
        char entry[200];
        std::snprintf(entry, sizeof entry, "%s%s,%04X,%04X,%04X%s", index ? ";" : "", path, i->config.vendor,
                      i->config.product, i->config.version, i->config.attributes ? "" : ",noattr");
        table_ += entry;
        interfaces_.push_back(std::move(i));
    }
    for (auto &i : interfaces_) {
        if (!i->config.opens)
            continue;
        for (DWORD k = 0; k < kInstances; ++k)
            threads_.emplace_back([this, &i] { serveInstance(*i); });
    }
    // Every instance exists before a client may look for it.
    WaitUntil(10, [this] { return created_ == (int)threads_.size(); });
}

BoardHost::~BoardHost()
{
    SetEvent(stop_);
    for (std::thread &t : threads_)
        t.join();
    CloseHandle(stop_);
}

std::string BoardHost::path(size_t index) const { return interfaces_.at(index)->path; }

void BoardHost::drive(size_t index, int port, int bit, bool level)
{
    Interface &i = *interfaces_.at(index);
    std::lock_guard<std::mutex> guard(i.lock);
    i.firmware.drive(port, bit, level);
}

std::vector<OutputReport> BoardHost::received(size_t index) const
{
    const Interface &i = *interfaces_.at(index);
    std::lock_guard<std::mutex> guard(i.lock);
    return i.firmware.received();
}

bool BoardHost::waitReceived(size_t index, size_t count, double seconds) const
{
    return WaitUntil(seconds, [&] { return received(index).size() >= count; });
}

int BoardHost::connections(size_t index) const { return interfaces_.at(index)->connections; }
int BoardHost::accepted(size_t index) const { return interfaces_.at(index)->accepted; }

bool BoardHost::waitAccepted(size_t index, int count, double seconds) const
{
    return WaitUntil(seconds, [&] { return accepted(index) == count; });
}

bool BoardHost::waitConnections(size_t index, int count, double seconds) const
{
    return WaitUntil(seconds, [&] { return connections(index) == count; });
}

bool BoardHost::waitAllClosed(double seconds) const
{
    return WaitUntil(seconds, [this] {
        for (auto &i : interfaces_)
            if (i->connections != 0)
                return false;
        return true;
    });
}

void BoardHost::serveInstance(Interface &i)
{
    HANDLE connected = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool first = true;
    while (WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) {
        HANDLE pipe = NewPipe(i.path);
        if (first) {
            first = false;
            ++created_;
        }
        if (pipe == INVALID_HANDLE_VALUE) {
            std::printf("board host: cannot create %s (error %lu)\n", i.path.c_str(), GetLastError());
            break;
        }
        OVERLAPPED o = {};
        o.hEvent = connected;
        bool ok = ConnectNamedPipe(pipe, &o);
        DWORD error = ok ? 0 : GetLastError();
        if (error == ERROR_IO_PENDING) {
            HANDLE waits[] = {connected, stop_};
            DWORD n;
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
                ok = GetOverlappedResult(pipe, &o, &n, FALSE);
                error = ok ? 0 : GetLastError();
            } else {
                Finish(pipe, o, true);
            }
        }
        ok = ok || error == ERROR_PIPE_CONNECTED;
        // A client that came and went before the connection was taken up was
        // still a client (ERROR_NO_DATA).
        if (ok || error == ERROR_NO_DATA) {
            if (ok)
                ++i.connections;
            ++i.accepted;
        }
        if (ok) {
            serveClient(i, pipe);
            --i.connections;
        }
        CloseHandle(pipe);
    }
    CloseHandle(connected);
}

// Serves one client until it goes, the host stops, or the board drops the
// line. Reads its output reports into the firmware and, at a steady cadence,
// sends the firmware's latest report as a 3-byte input report.
void BoardHost::serveClient(Interface &i, HANDLE pipe)
{
    OVERLAPPED rd = {}, wr = {};
    rd.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wr.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint8_t in[kReportSize];
    InputReport out = {};
    bool reading = false, writing = false, alive = true;
    auto due = std::chrono::steady_clock::now();
    while (alive) {
        if (!reading) {
            if (!ReadFile(pipe, in, sizeof in, nullptr, &rd) && GetLastError() != ERROR_IO_PENDING &&
                GetLastError() != ERROR_MORE_DATA)
                break;
            reading = true;
        }
        if (!writing && std::chrono::steady_clock::now() >= due) {
            {
                std::lock_guard<std::mutex> guard(i.lock);
                out = i.firmware.latest();
            }
            if (!WriteFile(pipe, &out, sizeof out, nullptr, &wr) && GetLastError() != ERROR_IO_PENDING)
                break;
            writing = true;
            due = std::chrono::steady_clock::now() + kCadence;
        }
        HANDLE waits[] = {stop_, rd.hEvent, wr.hEvent};
        if (WaitForMultipleObjects(writing ? 3 : 2, waits, FALSE, 1) == WAIT_OBJECT_0)
            break;
        DWORD n = 0;
        if (HasOverlappedIoCompleted(&rd)) {
            reading = false;
            bool ok = GetOverlappedResult(pipe, &rd, &n, FALSE);
            if (ok && n == kReportSize) {
                OutputReport report = {in[0], in[1], in[2]};
                uint8_t opcode = ZorOpcodeOf(report.command);
                if (i.config.dropOnRead && (opcode == ReadBitEven || opcode == ReadBitOdd)) {
                    alive = false;
                } else {
                    std::lock_guard<std::mutex> guard(i.lock);
                    i.firmware.receive(report);
                }
            } else if (!ok && GetLastError() != ERROR_MORE_DATA) {
                alive = false;  // the client has gone
            }
            // A malformed report (not 3 bytes) is not a report: dropped.
        }
        if (writing && HasOverlappedIoCompleted(&wr)) {
            writing = false;
            if (!GetOverlappedResult(pipe, &wr, &n, FALSE))
                alive = false;
        }
    }
    Finish(pipe, rd, reading);
    Finish(pipe, wr, writing);
    CloseHandle(rd.hEvent);
    CloseHandle(wr.hEvent);
}

}  // namespace zorwin
