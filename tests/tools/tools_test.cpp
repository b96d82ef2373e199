// zorprobe and zorsim end to end, through the built programs.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

using zortest::Process;
using namespace std::chrono_literals;

namespace {

const std::string kZorsim = ZORSIM_PATH;
const std::string kZorprobe = ZORPROBE_PATH;

const std::string kNotFound =
    "ZOR libraries successfully initialized.\n"
    "Cannot locate ZOR device. Please make sure it is plugged in.\n";

std::string FullRun(int value)
{
    return "ZOR libraries successfully initialized.\n"
           "ZOR device opened.\n"
           "Written '1' on 0.6, written '0' on 0.7\n"
           "Intensity set to 0xf on 0.6\n"
           "Value read from ZOR device: " + std::to_string(value) + "\n"
           "ZOR device successfully closed.\n"
           "Press ENTER to exit.\n";
}

std::vector<std::string> Lines(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    return lines;
}

std::vector<std::string> Zorsim(std::vector<std::string> options, std::vector<std::string> command)
{
    options.insert(options.begin(), kZorsim);
    options.push_back("--");
    options.insert(options.end(), command.begin(), command.end());
    return options;
}

// An empty directory standing in for /sys, so that no real board is seen.
class EmptySysfs {
public:
    EmptySysfs()
    {
        char name[] = "/tmp/zortest-sysfs.XXXXXX";
        if (mkdtemp(name) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~EmptySysfs() { rmdir(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// --- zorprobe with no board ------------------------------------------------

struct NoBoardCase {
    const char* name;
    bool underZorsim;  // else under umockdev-wrapper with an empty /sys
};

void PrintTo(const NoBoardCase& c, std::ostream* os) { *os << c.name; }

class NoBoard : public testing::TestWithParam<NoBoardCase> {};

// Standard input stays open: zorprobe must end without reading it.
TEST_P(NoBoard, ReportsNotFoundAndEndsWithoutWaitingForAKey)
{
    EmptySysfs sysfs;
    std::vector<std::string> args, environment;
    if (GetParam().underZorsim) {
        args = Zorsim({"--version", "0x0002"}, {kZorprobe});
    } else {
        args = {UMOCKDEV_WRAPPER_PATH, kZorprobe};
        environment = {"UMOCKDEV_DIR=" + sysfs.path()};
    }
    Process probe(args, Process::Mode::Pipes, environment);
    EXPECT_EQ(probe.wait(60s), 1);
    EXPECT_EQ(probe.out(), kNotFound);
}

INSTANTIATE_TEST_SUITE_P(Tools, NoBoard,
                         testing::Values(NoBoardCase{"EmptySysfs", false},
                                         NoBoardCase{"BoardOfAnotherRelease", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- zorprobe against the simulated board ---------------------------------

struct RunCase {
    const char* name;
    std::vector<std::string> options;
    int value;  // what pin 1.0 reads
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class AgainstBoard : public testing::TestWithParam<RunCase> {};

// Standard input at its end ends the wait for a key.
TEST_P(AgainstBoard, PrintsEveryStepAndSendsTheFourReports)
{
    std::vector<std::string> options = GetParam().options;
    options.push_back("--trace");
    Process probe(Zorsim(options, {kZorprobe}), Process::Mode::Pipes);
    probe.closeInput();
    ASSERT_EQ(probe.wait(), 0) << probe.err();
    EXPECT_EQ(probe.out(), FullRun(GetParam().value));

    std::vector<std::string> sent = Lines(probe.err(), "host -> board ");
    ASSERT_EQ(sent.size(), 4u) << probe.err();
    EXPECT_EQ(sent[0], "host -> board 00 02 BF  data bit set, port 0, bit 6");
    EXPECT_EQ(sent[1], "host -> board 00 01 80  data bit clear, port 0, bit 7");
    EXPECT_EQ(sent[2], "host -> board 00 05 F6  current sink, port 0, pin 6, intensity 15");
    std::string command = sent[3].substr(std::strlen("host -> board 00 "), 2);
    EXPECT_TRUE(command == "16" || command == "17") << sent[3];
    EXPECT_EQ(sent[3], "host -> board 00 " + command + " 01  read request, port 1, bit 0");

    std::string answer = "board -> host 00 " + command + " 0" + std::to_string(GetParam().value) +
                         "  answer to read, port 1: 0x0" + std::to_string(GetParam().value);
    EXPECT_NE(probe.err().find(answer + "\n"), std::string::npos) << probe.err();
}

INSTANTIATE_TEST_SUITE_P(
    Tools, AgainstBoard,
    testing::Values(RunCase{"PinHigh", {"--pin", "1.0=1"}, 1},
                    RunCase{"PinLow", {"--pin", "1.0=0"}, 0},
                    // Other pins high: only bit 0 of port 1 may count.
                    RunCase{"NeighboursHigh", {"--pin", "1.1=1", "--pin", "0.0=1"}, 0},
                    RunCase{"CadenceZero", {"--cadence", "0", "--pin", "1.0=1"}, 1},
                    RunCase{"PastThreeDecoys", {"--decoys", "3", "--pin=1.0=1"}, 1},
                    RunCase{"PastMostDecoys", {"--decoys", "200", "--pin", "1.0=1"}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// On a pipe that stays open, one byte ends the wait.
TEST(Tools, ZorprobeOnAnOpenPipeWaitsForOneByte)
{
    Process probe(Zorsim({}, {kZorprobe}), Process::Mode::Pipes);
    ASSERT_TRUE(probe.waitForOutput("Press ENTER to exit.\n", 30s)) << probe.err();
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(probe.running());
    probe.write("x");
    EXPECT_EQ(probe.wait(), 0);
    EXPECT_EQ(probe.out(), FullRun(0));
}

std::string SignalName(const testing::TestParamInfo<int>& info)
{
    switch (info.param) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return std::to_string(info.param);
    }
}

// --- zorprobe on a terminal -------------------------------------------------

bool SameSettings(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Starts zorprobe on a terminal and waits until it sits in its key wait.
class OnTerminal : public testing::Test {
protected:
    void SetUp() override
    {
        probe_ = std::make_unique<Process>(Zorsim({"--pin", "1.0=1"}, {kZorprobe}),
                                           Process::Mode::Terminal);
        before_ = probe_->terminalSettings();
        ASSERT_TRUE(probe_->waitForOutput("Press ENTER to exit.\r\n", 30s)) << probe_->out();
        for (int i = 0; i < 500 && (probe_->terminalSettings().c_lflag & (ECHO | ICANON)); ++i)
            std::this_thread::sleep_for(20ms);
        tcflag_t local = probe_->terminalSettings().c_lflag;
        ASSERT_FALSE(local & ECHO) << "echo is still on";
        ASSERT_FALSE(local & ICANON) << "input is still read by lines";
        std::this_thread::sleep_for(200ms);
        ASSERT_TRUE(probe_->running());
    }

    std::unique_ptr<Process> probe_;
    termios before_{};
};

TEST_F(OnTerminal, OneKeyEndsTheWaitUnechoedAndRestoresTheTerminal)
{
    size_t prompt = probe_->out().find("Press ENTER to exit.\r\n");
    probe_->write("x");
    EXPECT_EQ(probe_->wait(), 0);
    EXPECT_EQ(probe_->out().find('x', prompt + std::strlen("Press ENTER to exit.\r\n")),
              std::string::npos)
        << "the key was echoed: " << probe_->out();
    EXPECT_TRUE(SameSettings(probe_->terminalSettings(), before_));
}

class OnTerminalSignal : public OnTerminal, public testing::WithParamInterface<int> {};

// zorsim passes the signal on; zorprobe restores the terminal and dies of it.
TEST_P(OnTerminalSignal, RestoresTheTerminal)
{
    kill(probe_->pid(), GetParam());
    EXPECT_EQ(probe_->wait(), 128 + GetParam());
    EXPECT_TRUE(SameSettings(probe_->terminalSettings(), before_));
}

INSTANTIATE_TEST_SUITE_P(Tools, OnTerminalSignal, testing::Values(SIGTERM, SIGINT, SIGHUP),
                         SignalName);

// --- zorsim itself -----------------------------------------------------------

struct BadLine {
    std::vector<std::string> args;
    const char* mentions;  // what the message must point at
};

void PrintTo(const BadLine& c, std::ostream* os)
{
    *os << "zorsim";
    for (const std::string& arg : c.args)
        *os << " '" << arg << "'";
}

class ZorsimBadLine : public testing::TestWithParam<BadLine> {};

TEST_P(ZorsimBadLine, GivesOneLineAndStatusTwoWithoutRunningTheCommand)
{
    std::vector<std::string> args = GetParam().args;
    args.insert(args.begin(), kZorsim);
    Process zorsim(args, Process::Mode::Pipes);
    EXPECT_EQ(zorsim.wait(), 2);
    EXPECT_EQ(zorsim.out(), "");
    const std::string& err = zorsim.err();
    EXPECT_EQ(err.compare(0, 8, "zorsim: "), 0) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    EXPECT_NE(err.find(GetParam().mentions), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ZorsimBadLine,
    testing::Values(
        BadLine{{"--frobnicate", "--", "echo", "ran"}, "--frobnicate"},
        BadLine{{"-x", "--", "echo", "ran"}, "-x"},
        BadLine{{"--pin", "16.0=1", "--", "echo", "ran"}, "16.0=1"},
        BadLine{{"--pin", "1.8=1", "--", "echo", "ran"}, "1.8=1"},
        BadLine{{"--pin", "1.0=2", "--", "echo", "ran"}, "1.0=2"},
        BadLine{{"--pin", "1.0", "--", "echo", "ran"}, "1.0"},
        BadLine{{"--pin", "-1.0=1", "--", "echo", "ran"}, "-1.0=1"},
        BadLine{{"--pin", " 1.0=1", "--", "echo", "ran"}, " 1.0=1"},
        BadLine{{"--pin"}, "--pin"},
        BadLine{{"--cadence", "fast", "--", "echo", "ran"}, "fast"},
        BadLine{{"--cadence", "-1", "--", "echo", "ran"}, "-1"},
        BadLine{{"--cadence", "99999999999999999999", "--", "echo", "ran"}, "9999"},
        BadLine{{"--version", "0x10000", "--", "echo", "ran"}, "0x10000"},
        BadLine{{"--version", "0xg", "--", "echo", "ran"}, "0xg"},
        BadLine{{"--version", "", "--", "echo", "ran"}, "--version"},
        BadLine{{"--decoys", "201", "--", "echo", "ran"}, "201"},
        BadLine{{"--decoys", "two", "--", "echo", "ran"}, "two"},
        BadLine{{"echo", "ran"}, "--"},
        BadLine{{"--trace"}, "COMMAND"},
        BadLine{{"--trace", "--"}, "COMMAND"},
        BadLine{{}, "COMMAND"}));

TEST(Tools, ZorsimHelpGoesToStandardOutput)
{
    Process zorsim({kZorsim, "--help"}, Process::Mode::Pipes);
    EXPECT_EQ(zorsim.wait(), 0);
    EXPECT_EQ(zorsim.out().compare(0, 13, "Usage: zorsim"), 0) << zorsim.out();
    EXPECT_EQ(zorsim.err(), "");
}

struct StatusCase {
    const char* name;
    std::vector<std::string> command;
    int status;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class ZorsimStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(ZorsimStatus, IsTheCommands)
{
    Process zorsim(Zorsim({}, GetParam().command), Process::Mode::Pipes);
    EXPECT_EQ(zorsim.wait(), GetParam().status) << zorsim.err();
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ZorsimStatus,
    testing::Values(StatusCase{"Zero", {"/bin/sh", "-c", "exit 0"}, 0},
                    StatusCase{"Seven", {"/bin/sh", "-c", "exit 7"}, 7},
                    StatusCase{"KilledBySignal", {"/bin/sh", "-c", "kill -KILL $$"}, 128 + SIGKILL},
                    StatusCase{"FoundOnPath", {"sh", "-c", "exit 3"}, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Tools, ZorsimReportsACommandItCannotRun)
{
    for (const char* command : {"/nonexistent/zorsim-command", "zorsim-no-such-command", "/"}) {
        Process zorsim(Zorsim({}, {command}), Process::Mode::Pipes);
        EXPECT_EQ(zorsim.wait(), 127) << command;
        const std::string& err = zorsim.err();
        EXPECT_EQ(err.compare(0, 8, "zorsim: "), 0) << err;
        EXPECT_NE(err.find(command), std::string::npos) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
    }
}

class ZorsimForwards : public testing::TestWithParam<int> {};

TEST_P(ZorsimForwards, TheSignalToTheCommand)
{
    Process zorsim(Zorsim({}, {"/bin/sh", "-c", "echo ready; exec sleep 60"}),
                   Process::Mode::Pipes);
    ASSERT_TRUE(zorsim.waitForOutput("ready\n", 30s)) << zorsim.err();
    kill(zorsim.pid(), GetParam());
    EXPECT_EQ(zorsim.wait(), 128 + GetParam());
}

INSTANTIATE_TEST_SUITE_P(Tools, ZorsimForwards, testing::Values(SIGINT, SIGTERM), SignalName);

// The command runs with the faked /sys and /dev and the preload, and without
// zorsim's own bookkeeping.
TEST(Tools, ZorsimCommandSeesTheBoardAfterTheDecoys)
{
    Process zorsim(Zorsim({"--decoys", "2"},
                          {"/bin/sh", "-c",
                           "for n in 0 1 2 3; do echo $n $(grep HID_ID "
                           "/sys/class/hidraw/hidraw$n/device/uevent); done; env"}),
                   Process::Mode::Pipes);
    ASSERT_EQ(zorsim.wait(), 0) << zorsim.err();
    std::vector<std::string> nodes = Lines(zorsim.out(), "");
    ASSERT_GE(nodes.size(), 4u);
    EXPECT_EQ(nodes[0].find(":0000FF00:0000FF00"), std::string::npos) << nodes[0];
    EXPECT_EQ(nodes[1].find(":0000FF00:0000FF00"), std::string::npos) << nodes[1];
    EXPECT_EQ(nodes[2], "2 HID_ID=0003:0000FF00:0000FF00");
    EXPECT_EQ(nodes[3], "3");
    EXPECT_NE(zorsim.out().find("LD_PRELOAD="), std::string::npos);
    EXPECT_EQ(zorsim.out().find("ZORSIM_"), std::string::npos);
}

}  // namespace
