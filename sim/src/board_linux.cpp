#include "zorsim/board.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace zorsim {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes written to the master reach the host's queue later, when a kernel
// worker moves them, which on a loaded machine takes milliseconds. A write is
// counted as waiting until the queue is seen to grow by it, the queue is seen
// empty with nothing left to move, or this long has passed.
constexpr auto kLanding = std::chrono::milliseconds(20);
// Script reports sent in one go before traffic is told and the lock dropped.
constexpr int kBatch = 4;
// How often to look again while a script report waits for room.
constexpr auto kRoomPoll = std::chrono::microseconds(150);

// umockdev's preload takes over ioctl() and refuses it on the pty; the
// kernel answers the raw call.
int QueuedBytes(int fd)
{
    int n = 0;
    if (syscall(SYS_ioctl, fd, FIONREAD, &n) != 0)
        return 0;
    return n;
}

timespec ToTimespec(Clock::duration d)
{
    if (d < Clock::duration::zero())
        d = Clock::duration::zero();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

struct Board::Impl {
    using Callback = std::function<void(const Traffic&)>;

    Impl(int fd, BoardOptions options) : master(fd), cadence(options.cadence)
    {
        char path[PATH_MAX];
        if (ptsname_r(master, path, sizeof path) != 0)
            throw std::runtime_error("the board's descriptor is not a pty master");
        // Only for counting what waits for the host; never read from.
        slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0)
            throw std::runtime_error(std::string("cannot open the host side ") + path);
        wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake < 0) {
            close(slave);
            throw std::runtime_error("cannot create an eventfd");
        }
        if (cadence.count() == 0)
            script.push_back(firmware.latest());
        thread = std::thread([this] { Run(); });
    }

    ~Impl()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        Wake();
        thread.join();
        close(wake);
        close(slave);
    }

    void Wake()
    {
        uint64_t one = 1;
        ssize_t n = write(wake, &one, sizeof one);
        (void)n;  // a full counter still wakes the thread
    }

    int Pending() const { return QueuedBytes(slave) / 2; }

    // Called with the lock held.
    bool HasRoom(Clock::time_point now)
    {
        int bytes = QueuedBytes(slave);
        if (bytes == 0 && !unlanded.empty()) {
            // Polling an empty tty first waits for the worker to move what
            // is on its way, so an empty queue after it means all was read.
            pollfd p = {slave, POLLIN, 0};
            poll(&p, 1, 0);
            bytes = QueuedBytes(slave);
            if (bytes == 0)
                unlanded.clear();
        }
        // Only landing makes the queue grow; reads can hide some landings,
        // which then count until they expire.
        for (int grown = bytes - lastQueued; !unlanded.empty() && grown >= unlanded.front().bytes;) {
            grown -= unlanded.front().bytes;
            unlanded.pop_front();
        }
        lastQueued = bytes;
        while (!unlanded.empty() && now - unlanded.front().when >= kLanding)
            unlanded.pop_front();
        if (broken)
            return bytes == 0 && unlanded.empty();
        int waiting = bytes;
        for (const Write& w : unlanded)
            waiting += w.bytes;
        return (waiting + 1) / 2 < kQueueLimit;
    }

    // Called with the lock held.
    bool Send(const InputReport& report, Clock::time_point now, std::vector<Traffic>& events)
    {
        // A broken report is cut to its first byte, the report id 0: should
        // two ever run together, they still cannot pass for an answer.
        uint8_t bytes[2] = {broken ? uint8_t{0} : report.command, report.value};
        size_t length = broken ? 1 : 2;
        ssize_t n;
        do
            n = write(master, bytes, length);
        while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(length))
            return false;
        ++sent;
        unlanded.push_back(Write{now, static_cast<int>(length)});
        events.push_back(Traffic{false, {0, report.command, report.value}});
        return true;
    }

    // Called with the lock held.
    void Receive(const uint8_t* bytes, size_t count, std::vector<Traffic>& events)
    {
        for (size_t i = 0; i < count; ++i) {
            partial[partialCount++] = bytes[i];
            if (partialCount < kReportSize)
                continue;
            partialCount = 0;
            OutputReport report{partial[0], partial[1], partial[2]};
            events.push_back(Traffic{true, {partial[0], partial[1], partial[2]}});
            InputReport before = firmware.latest();
            std::optional<InputReport> answer = firmware.receive(report);
            if (answer) {
                script.insert(script.end(), static_cast<size_t>(late), before);
                late = 0;
                script.push_back(*answer);
                if (cadence.count() == 0)
                    script.push_back(firmware.latest());
            }
        }
        received.notify_all();
    }

    void Hangup()
    {
        // The testbed closes this descriptor number later, so it is replaced
        // rather than closed; that still closes the master.
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, master);
            close(null);
        }
    }

    void Notify(const std::vector<Traffic>& events, const std::shared_ptr<const Callback>& callback)
    {
        if (callback)
            for (const Traffic& t : events)
                (*callback)(t);
    }

    void Run()
    {
        Clock::time_point next = Clock::now();
        std::vector<Traffic> events;
        bool masterOpen = true;
        for (;;) {
            events.clear();
            std::shared_ptr<const Callback> callback;
            bool waitingForRoom = false;
            bool moreNow = false;
            bool ticking = false;
            Clock::time_point now = Clock::now();
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stop)
                    return;
                if (unplugRequested && !unplugged) {
                    Hangup();
                    unplugged = true;
                    masterOpen = false;
                    received.notify_all();
                }
                if (masterOpen && !silent) {
                    // A few at a time, so that traffic is told as it happens
                    // and the lock is not held through a long script.
                    for (int batch = 0; !script.empty(); ++batch) {
                        if (batch == kBatch) {
                            moreNow = true;
                            break;
                        }
                        if (!HasRoom(now) || !Send(script.front(), now, events)) {
                            waitingForRoom = true;
                            break;
                        }
                        script.pop_front();
                    }
                    ticking = cadence.count() > 0;
                    if (ticking && now >= next) {
                        // A tick while the script waits is the script's turn.
                        if (script.empty() && !(HasRoom(now) && Send(firmware.latest(), now, events)))
                            ++dropped;
                        next += cadence;
                        if (next <= now)
                            next = now + cadence;
                    }
                }
                callback = traffic;
            }
            Notify(events, callback);

            timespec timeout;
            timespec* wait = nullptr;
            if (moreNow) {
                timeout = timespec{0, 0};
                wait = &timeout;
            } else if (waitingForRoom) {
                auto d = Clock::duration(kRoomPoll);
                if (ticking && next - now < d)
                    d = next - now;
                timeout = ToTimespec(d);
                wait = &timeout;
            } else if (ticking) {
                timeout = ToTimespec(next - Clock::now());
                wait = &timeout;
            }
            pollfd fds[2] = {{wake, POLLIN, 0}, {master, POLLIN, 0}};
            int ready = ppoll(fds, masterOpen ? 2 : 1, wait, nullptr);
            if (ready < 0)
                continue;  // EINTR: the loop recomputes everything
            if (fds[0].revents & POLLIN) {
                uint64_t count;
                ssize_t n = read(wake, &count, sizeof count);
                (void)n;
            }
            if (!masterOpen)
                continue;
            if (fds[1].revents & POLLIN) {
                uint8_t bytes[256];
                ssize_t n = read(master, bytes, sizeof bytes);
                if (n > 0) {
                    events.clear();
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        Receive(bytes, static_cast<size_t>(n), events);
                        callback = traffic;
                    }
                    Notify(events, callback);
                } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                    masterOpen = false;  // nothing more can come; do not spin on it
                }
            } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                // Nothing more can come from this node; do not spin on it.
                masterOpen = false;
            }
        }
    }

    const int master;
    int slave = -1;
    int wake = -1;
    const std::chrono::microseconds cadence;

    mutable std::mutex mutex;
    mutable std::condition_variable received;  // output reports arrived, or unplugged
    Firmware firmware;
    std::deque<InputReport> script;
    int late = 0;
    bool silent = false;
    bool broken = false;
    bool unplugRequested = false;
    bool unplugged = false;
    bool stop = false;
    uint64_t sent = 0;
    uint64_t dropped = 0;
    std::shared_ptr<const Callback> traffic;

    // The board thread's own.
    uint8_t partial[kReportSize] = {};
    size_t partialCount = 0;
    struct Write {
        Clock::time_point when;
        int bytes;
    };
    std::deque<Write> unlanded;
    int lastQueued = 0;
    std::thread thread;
};

Board::Board(int fd, BoardOptions options) : impl_(std::make_unique<Impl>(fd, options)) {}

Board::~Board() = default;

void Board::drive(int port, int bit, bool level)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->firmware.drive(port, bit, level);
}

std::vector<OutputReport> Board::received() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->firmware.received();
}

bool Board::waitForReceived(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->received.wait_for(lock, timeout,
                                    [&] { return impl_->firmware.received().size() >= count; });
}

void Board::setSilent(bool silent)
{
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->silent = silent;
    }
    impl_->Wake();
}

void Board::inject(std::vector<InputReport> reports)
{
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->script.insert(impl_->script.end(), reports.begin(), reports.end());
    }
    impl_->Wake();
}

void Board::answerLate(int k)
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->late = k > 0 ? k : 0;
}

void Board::setBrokenReports(bool broken)
{
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->broken = broken;
    }
    impl_->Wake();
}

void Board::unplug()
{
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->unplugRequested = true;
    impl_->Wake();
    // The board thread does the hang-up; waiting for it there would deadlock.
    if (std::this_thread::get_id() != impl_->thread.get_id())
        impl_->received.wait(lock, [&] { return impl_->unplugged; });
}

uint64_t Board::sent() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->sent;
}

int Board::pending() const { return impl_->Pending(); }

uint64_t Board::dropped() const
{
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->dropped;
}

void Board::onTraffic(std::function<void(const Traffic&)> callback)
{
    auto shared = callback ? std::make_shared<const Impl::Callback>(std::move(callback)) : nullptr;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->traffic = std::move(shared);
}

}  // namespace zorsim
