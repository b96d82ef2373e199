// Discovery through the Linux host layer, against boards placed at chosen
// hidrawN nodes of a faked sysfs and /dev.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zoriolib.h"
#include "zorsim/testbed.h"

namespace {

const zorsim::Identity kBoard{};
const zorsim::Identity kStranger{0x1234, 0x5678, 0x0001};

// Closes what it still holds, so a failed assertion leaks nothing into the
// next test.
struct Record : ZorDevice {
    Record() : ZorDevice{} {}
    ~Record()
    {
        if (interfaceDetail != nullptr)
            CloseZorDevice(this);
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
};

// Sockets are left out: umockdev's preload and its in-process server open
// and close their own on their own schedule.
int OpenFdCount()
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) {
        char target[64];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target);
        if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind("socket:", 0) != 0)
            ++count;
    }
    closedir(dir);
    return count;
}

bool IsOpenFd(intptr_t fd)
{
    return fcntl(static_cast<int>(fd), F_GETFD) != -1;
}

// Whatever arrives at `fd` within `timeoutMs`.
std::vector<uint8_t> Arrived(int fd, int timeoutMs)
{
    std::vector<uint8_t> bytes;
    pollfd wait{fd, POLLIN, 0};
    while (poll(&wait, 1, bytes.empty() ? timeoutMs : 50) == 1 && (wait.revents & POLLIN)) {
        uint8_t chunk[64];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

// The record's handle is the node whose board side is `boardFd`.
void ExpectDrives(ZorDevice* device, int boardFd)
{
    ASSERT_NE(0, SetDataBit(device, 0, 0, 1));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x02, 0xFE}), Arrived(boardFd, 1000));
}

void ExpectPath(const ZorDevice& device, const char* path)
{
    ASSERT_NE(nullptr, device.interfaceDetail);
    uint32_t size;
    std::memcpy(&size, device.interfaceDetail, sizeof size);
    EXPECT_EQ(5u, size);  // the fixed part's size, as in the Windows record
    EXPECT_STREQ(path, static_cast<const char*>(device.interfaceDetail) + sizeof size);
}

void ExpectEmpty(const ZorDevice& device)
{
    EXPECT_EQ(-1, device.handle);
    EXPECT_EQ(nullptr, device.interfaceDetail);
}

class Discovery : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InitZorLibraries(); }
    void SetUp() override { fresh(); }
    void TearDown() override { bed_.reset(); }

    // A new testbed for every layout: umockdev 0.17 cannot add a node number
    // again to a testbed that had it, even after taking it out. Each testbed leaks
    // a pty per device, a few dozen in this binary.
    zorsim::Testbed& fresh()
    {
        bed_.reset();  // before the next one takes over UMOCKDEV_DIR
        bed_ = std::make_unique<zorsim::Testbed>();
        return *bed_;
    }
    zorsim::Testbed& bed() { return *bed_; }

private:
    std::unique_ptr<zorsim::Testbed> bed_;
};

TEST_F(Discovery, NoInterfaceFindsNothingAndKeepsTheIndex)
{
    Record d;
    d.interfaceIndex = 7;
    EXPECT_EQ(-1, OpenFirstZorDevice(&d));
    ExpectEmpty(d);
    EXPECT_EQ(7u, d.interfaceIndex);

    Record previous, next;
    EXPECT_EQ(-1, OpenNextZorDevice(&previous, &next));
    ExpectEmpty(next);
}

TEST_F(Discovery, FirstAndNextSkipAStrangerBetweenBoards)
{
    int board3 = bed().addUsbHid(3);
    bed().addUsbHid(4, kStranger);
    int board5 = bed().addUsbHid(5);

    Record a, b;
    intptr_t handle = OpenFirstZorDevice(&a);
    ASSERT_NE(-1, handle);
    EXPECT_EQ(handle, a.handle);
    EXPECT_EQ(3u, a.interfaceIndex);
    ExpectPath(a, "/dev/hidraw3");
    ExpectDrives(&a, board3);

    handle = OpenNextZorDevice(&a, &b);
    ASSERT_NE(-1, handle);
    EXPECT_EQ(handle, b.handle);
    EXPECT_EQ(5u, b.interfaceIndex);
    ExpectPath(b, "/dev/hidraw5");
    ExpectDrives(&b, board5);

    EXPECT_NE(a.handle, b.handle);
    EXPECT_TRUE(IsOpenFd(a.handle));
    EXPECT_EQ(3u, a.interfaceIndex);
    ExpectDrives(&a, board3);

    Record c;
    EXPECT_EQ(-1, OpenNextZorDevice(&b, &c));
    ExpectEmpty(c);
}

TEST_F(Discovery, RejectsEveryOtherIdentityAndClosesIt)
{
    const struct {
        const char* what;
        zorsim::Identity id;
    } cases[] = {
        {"release 0x0002", {0xFF00, 0xFF00, 0x0002}},
        {"vendor", {0xFF01, 0xFF00, 0x0001}},
        {"product", {0xFF00, 0xFE00, 0x0001}},
        {"byte-swapped", {0x00FF, 0x00FF, 0x0100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        bed().addUsbHid(0, c.id);
        bed().addUsbHid(1, c.id);
        int fds = OpenFdCount();

        Record d;
        EXPECT_EQ(-1, OpenFirstZorDevice(&d));
        ExpectEmpty(d);
        EXPECT_EQ(fds, OpenFdCount());

        int board = bed().addUsbHid(2);
        fds = OpenFdCount();
        ASSERT_NE(-1, OpenFirstZorDevice(&d));
        EXPECT_EQ(2u, d.interfaceIndex);
        ExpectDrives(&d, board);
        EXPECT_EQ(fds + 1, OpenFdCount());  // the rejected two were closed
    }
}

TEST_F(Discovery, ScansPastGapsInTheNumbering)
{
    for (unsigned n : {1u, 40u, 255u}) {
        SCOPED_TRACE("board at " + std::to_string(n));
        fresh();
        bed().addUsbHid(0, kStranger);
        int board = bed().addUsbHid(n);

        Record d;
        ASSERT_NE(-1, OpenFirstZorDevice(&d));
        EXPECT_EQ(n, d.interfaceIndex);
        ExpectPath(d, ("/dev/hidraw" + std::to_string(n)).c_str());
        ExpectDrives(&d, board);
    }
}

TEST_F(Discovery, NodesAheadOfTheBoardThatAreSkipped)
{
    const struct {
        const char* what;
        void (*add)(zorsim::Testbed&);
    } cases[] = {
        // Its HID identity matches; only the missing USB release tells it apart.
        {"non-USB HID device", [](zorsim::Testbed& b) { b.addNonUsbHid(0, 0xFF00, 0xFF00); }},
        // A board by identity, but without a /dev entry.
        {"node that cannot be opened", [](zorsim::Testbed& b) { b.addUnopenable(0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.add(fresh());
        int board = bed().addUsbHid(1);

        Record d;
        ASSERT_NE(-1, OpenFirstZorDevice(&d));
        EXPECT_EQ(1u, d.interfaceIndex);
        ExpectDrives(&d, board);
    }
}

TEST_F(Discovery, UnreadableIdentityEndsTheScan)
{
    bed().addUnidentifiedHid(0);
    bed().addUsbHid(1);
    int fds = OpenFdCount();

    Record d;
    d.interfaceIndex = 9;
    EXPECT_EQ(-1, OpenFirstZorDevice(&d));
    ExpectEmpty(d);
    EXPECT_EQ(9u, d.interfaceIndex);
    EXPECT_EQ(fds, OpenFdCount());
}

TEST_F(Discovery, NextFromTheLastIndexFindsNothingAndLeavesNextAlone)
{
    // A scan that wrapped around to 0 would find this board.
    bed().addUsbHid(0);
    int last = bed().addUsbHid(255);

    int sentinel = 0;
    for (uint32_t index : {255u, 256u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(index);
        ZorDevice previous{};
        previous.interfaceIndex = index;
        ZorDevice next{1234, &sentinel, 77};
        EXPECT_EQ(-1, OpenNextZorDevice(&previous, &next));
        EXPECT_EQ(1234, next.handle);
        EXPECT_EQ(&sentinel, next.interfaceDetail);
        EXPECT_EQ(77u, next.interfaceIndex);
    }

    Record previous, next;
    previous.interfaceIndex = 254;
    ASSERT_NE(-1, OpenNextZorDevice(&previous, &next));
    EXPECT_EQ(255u, next.interfaceIndex);
    ExpectDrives(&next, last);
}

TEST_F(Discovery, NextIntoTheSameClosedRecordResumesAfterIt)
{
    bed().addUsbHid(2);
    int board6 = bed().addUsbHid(6);

    Record d;
    ASSERT_NE(-1, OpenFirstZorDevice(&d));
    ASSERT_EQ(2u, d.interfaceIndex);
    CloseZorDevice(&d);

    ASSERT_NE(-1, OpenNextZorDevice(&d, &d));
    EXPECT_EQ(6u, d.interfaceIndex);
    ExpectPath(d, "/dev/hidraw6");
    ExpectDrives(&d, board6);
    CloseZorDevice(&d);

    EXPECT_EQ(-1, OpenNextZorDevice(&d, &d));
    ExpectEmpty(d);
    EXPECT_EQ(6u, d.interfaceIndex);
}

TEST_F(Discovery, SecondInitChangesNothing)
{
    int board = bed().addUsbHid(1);

    Record a;
    ASSERT_NE(-1, OpenFirstZorDevice(&a));
    InitZorLibraries();
    EXPECT_TRUE(IsOpenFd(a.handle));
    ExpectDrives(&a, board);
    CloseZorDevice(&a);

    ASSERT_NE(-1, OpenFirstZorDevice(&a));
    EXPECT_EQ(1u, a.interfaceIndex);
    ExpectDrives(&a, board);
}

TEST_F(Discovery, CloseEmptiesTheRecordAndCommandsThenWriteNothing)
{
    int board = bed().addUsbHid(3);

    Record d;
    ASSERT_NE(-1, OpenFirstZorDevice(&d));
    intptr_t fd = d.handle;
    int fds = OpenFdCount();

    CloseZorDevice(&d);
    ExpectEmpty(d);
    EXPECT_EQ(3u, d.interfaceIndex);
    EXPECT_FALSE(IsOpenFd(fd));
    EXPECT_EQ(fds - 1, OpenFdCount());

    CloseZorDevice(&d);
    ExpectEmpty(d);
    EXPECT_EQ(3u, d.interfaceIndex);
    EXPECT_EQ(fds - 1, OpenFdCount());

    EXPECT_EQ(0, SetDataBit(&d, 0, 0, 1));
    EXPECT_EQ(0, SetPullupBit(&d, 0, 0, 1));
    EXPECT_EQ(0, SetISink(&d, 0, 0, 15));
    EXPECT_EQ(0, ReadDataBit(&d, 0, 0));
    EXPECT_TRUE(Arrived(board, 200).empty());
}

// A zero-filled record has handle 0, which is standard input here: neither a
// command nor a close may touch it.
TEST_F(Discovery, ZeroFilledRecordHoldsNoDevice)
{
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    int savedStdin = dup(0);
    ASSERT_NE(-1, savedStdin);
    ASSERT_EQ(0, dup2(pipeFds[1], 0));

    ZorDevice d{};
    int32_t written = SetDataBit(&d, 0, 0, 1);
    CloseZorDevice(&d);
    bool stdinOpen = IsOpenFd(0);

    dup2(savedStdin, 0);
    close(savedStdin);
    close(pipeFds[1]);
    EXPECT_EQ(0, written);
    EXPECT_TRUE(stdinOpen);
    EXPECT_TRUE(Arrived(pipeFds[0], 0).empty());
    close(pipeFds[0]);
}

TEST_F(Discovery, ManyOpenCloseCyclesLeaveNoDescriptorBehind)
{
    // No unopenable node here: umockdev's preload keeps a slot for every
    // failed open and aborts after 50.
    bed().addUsbHid(0, {0xFF00, 0xFF00, 0x0601});
    bed().addUsbHid(1, kStranger);
    bed().addNonUsbHid(2, 0xFF00, 0xFF00);
    bed().addUsbHid(3);
    bed().addUsbHid(4, {0xFF00, 0xFF00, 0x0002});
    bed().addUsbHid(5);
    bed().addUnidentifiedHid(6);
    int fds = OpenFdCount();

    for (int i = 0; i < 100; ++i) {
        Record a, b, c;
        ASSERT_NE(-1, OpenFirstZorDevice(&a));
        ASSERT_NE(-1, OpenNextZorDevice(&a, &b));
        ASSERT_EQ(5u, b.interfaceIndex);
        ASSERT_EQ(-1, OpenNextZorDevice(&b, &c));  // ends at the unidentified node
        CloseZorDevice(&a);
        CloseZorDevice(&b);
    }
    EXPECT_EQ(fds, OpenFdCount());
}

}  // namespace
