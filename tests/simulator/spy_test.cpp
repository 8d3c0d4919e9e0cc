// Spy mode end to end: a normal halvex-sim plays the real chassis, a second one spies in front of
// it, and the test talks to the spy's ports as the driver would.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "protocol.h"
#include "sim_harness.h"

namespace {

using halvex::sim::Printable;
using halvex::sim::ToHex;
using simtest::ControlClient;
using simtest::SerialPort;
using simtest::SimProcess;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const milliseconds kSilence(300);
const std::regex kStamp(R"(^\d\d:\d\d:\d\d\.\d{3} )");

std::string MakeTempDir() {
    char dirTemplate[] = "/tmp/halvex-spy-test-XXXXXX";
    return mkdtemp(dirTemplate) != nullptr ? dirTemplate : "";
}

void RemoveTree(const std::string& dir) {
    for (const char* name : {"/real/command", "/real/monitor-03", "/real/monitor-05",
                             "/spy/command", "/spy/monitor-05", "/spy.err"}) {
        unlink((dir + name).c_str());
    }
    for (int slot = 1; slot <= 16; ++slot) {
        char name[32];
        std::snprintf(name, sizeof name, "/real/monitor-%02d", slot);
        unlink((dir + name).c_str());
    }
    rmdir((dir + "/real").c_str());
    rmdir((dir + "/spy").c_str());
    rmdir(dir.c_str());
}

// The spy's log without the time stamps, each of which must be there and well formed.
std::vector<std::string> Unstamped(const std::vector<std::string>& entries) {
    std::vector<std::string> lines;
    for (const std::string& entry : entries) {
        EXPECT_TRUE(std::regex_search(entry, kStamp)) << entry;
        lines.push_back(entry.size() > 13 ? entry.substr(13) : entry);
    }
    return lines;
}

// Waits until the control channel's log ends with `last`: bytes written to a port and the
// control channel take separate paths into a simulator.
bool WaitForLastEntry(ControlClient& control, const std::string& last) {
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < deadline) {
        std::vector<std::string> log = control.Log();
        if (!log.empty() && log.back() == last)
            return true;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
}

class SpyTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = MakeTempDir();
        chassis_ = new SimProcess;
        spy_ = new SimProcess;
        std::string error;
        if (dir_.empty()) {
            startError_ = "mkdtemp failed";
        } else if (!chassis_->Start({"--link", dir_ + "/real", "--control", "0", "--line-timeout",
                                     "10000", "--quiet"},
                                    &error)) {
            startError_ = "chassis: " + error;
        } else {
            spy_->CaptureStderr(dir_ + "/spy.err");
            // The spy opens the chassis ports by the names a user would give it.
            if (!spy_->Start({"--spy", dir_ + "/real/command", "--spy-monitor",
                              "5:" + dir_ + "/real/monitor-05", "--link", dir_ + "/spy",
                              "--control", "0", "--line-timeout", "50"},
                             &error)) {
                startError_ = "spy: " + error;
            }
        }
    }
    static void TearDownTestSuite() {
        delete spy_;
        delete chassis_;
        spy_ = chassis_ = nullptr;
        RemoveTree(dir_);
    }

    void SetUp() override {
        ASSERT_TRUE(startError_.empty()) << startError_;
        ASSERT_TRUE(chassis_->Running());
        ASSERT_TRUE(spy_->Running());
        ASSERT_TRUE(real_.Connect(chassis_->controlPort()));
        ASSERT_TRUE(spyControl_.Connect(spy_->controlPort()));
        Real("reset");
        ASSERT_EQ(spyControl_.Request("clearlog"), "OK");
        ASSERT_TRUE(port_.Open(dir_ + "/spy/command")) << port_.lastError();
    }

    void Real(const std::string& request) { ASSERT_EQ(real_.Request(request), "OK") << request; }

    static std::string dir_;
    static SimProcess* chassis_;
    static SimProcess* spy_;
    static std::string startError_;
    ControlClient real_;
    ControlClient spyControl_;
    SerialPort port_;
};

std::string SpyTest::dir_;
SimProcess* SpyTest::chassis_ = nullptr;
SimProcess* SpyTest::spy_ = nullptr;
std::string SpyTest::startError_;

TEST_F(SpyTest, PassesEveryByteBothWaysAndLogsIt) {
    Real("card 3 X16");
    Real("card 5 Y48");
    Real("idn 7 00ff0d0a");  // an empty slot that answers NUL, 0xff and CR LF
    struct Case {
        std::string command;
        std::string reply;
    };
    const std::vector<Case> cases = {
        {"*IDN?(03)\n", "HALVEX X16 SIMULATED CARD\n"},
        {"CLOSE(03,05,07)\n", "OK\n"},
        {"CLOSE(03,17,01)\n", "Parameter Range Error\n"},
        {"CLOSE(05,05,07)\n", "CMD Error\n"},
        {"*IDN?(07)\n", std::string("\0\xff\r\n", 4)},
        {std::string("\x01\xfe\0OPEN(03,05,07)\n", 18), "Format Error\n"},
        {"OPEN(03,05,07)\n", "OK\n"},
    };
    std::vector<std::string> expectedLog;
    std::vector<std::string> expectedReal;
    for (const Case& c : cases) {
        SCOPED_TRACE(Printable(c.command));
        EXPECT_EQ(port_.Exchange(c.command), c.reply);
        expectedLog.push_back("cmd <- " + Printable(c.command));
        expectedLog.push_back("cmd -> " + Printable(c.reply));
        expectedReal.push_back("cmd " + ToHex(c.command));
    }
    // The commands reached the chassis byte for byte, and it acted on them.
    EXPECT_EQ(real_.Log(), expectedReal);
    EXPECT_EQ(real_.Request("relays 3"), "OK ops:2");

    std::vector<std::string> log = spyControl_.Log();
    EXPECT_EQ(Unstamped(log), expectedLog);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].substr(13), R"(cmd <- "*IDN?(03)\n")");
    EXPECT_EQ(log[9].substr(13), R"(cmd -> "\x00\xff\r\n")");
    EXPECT_EQ(log[10].substr(13), R"(cmd <- "\x01\xfe\x00OPEN(03,05,07)\n")");

    // stderr carries the very same entries, time stamps included, in the same order.
    std::ifstream err(dir_ + "/spy.err");
    std::vector<std::string> errLines;
    for (std::string line; std::getline(err, line);)
        errLines.push_back(line);
    auto at = std::search(errLines.begin(), errLines.end(), log.begin(), log.end());
    EXPECT_NE(at, errLines.end()) << "log entries missing from stderr";
}

TEST_F(SpyTest, NeverWaitsForALineEnd) {
    Real("card 3 X16");
    // The chassis sends "CMD", then the rest of its line 800 ms later.
    Real("next 3 hex:434d44 wait:800 hex:204572726f720a");
    port_.Purge();
    ASSERT_TRUE(port_.Send("*TST?(03)\n"));
    EXPECT_EQ(port_.ReadAtLeast(3), "CMD");
    EXPECT_EQ(port_.ReadFor(milliseconds(100)), "");
    EXPECT_EQ(port_.ReadLine(), " Error\n");

    // Half a command reaches the chassis at once too: it shows there as a partial line.
    ASSERT_TRUE(port_.Send("CLOSE(03,"));
    EXPECT_TRUE(WaitForLastEntry(real_, "cmd " + ToHex("CLOSE(03,")));
    std::this_thread::sleep_for(milliseconds(150));  // well past the spy's 50 ms line time-out
    ASSERT_TRUE(port_.Send("05,07)\n"));
    EXPECT_EQ(port_.ReadLine(), "OK\n");

    // Idle partial lines are logged as they stood.
    const std::vector<std::string> expected = {
        R"(cmd <- "*TST?(03)\n")", R"(cmd -> "CMD")",      R"(cmd -> " Error\n")",
        R"(cmd <- "CLOSE(03,")",   R"(cmd <- "05,07)\n")", R"(cmd -> "OK\n")",
    };
    EXPECT_EQ(Unstamped(spyControl_.Log()), expected);
}

TEST_F(SpyTest, MonitoringPortPassesThrough) {
    Real("card 5 Y48");
    Real("status 5 0xFE");
    SerialPort monitor;
    ASSERT_TRUE(monitor.Open(dir_ + "/spy/monitor-05")) << monitor.lastError();
    EXPECT_EQ(monitor.Exchange("PHOTO(05)\n"), "\xfe\n");
    Real("photo 5 c3");  // no line end
    monitor.Purge();
    ASSERT_TRUE(monitor.Send("PHOTO(05)\n"));
    EXPECT_EQ(monitor.ReadFor(kSilence), "\xc3");
    // The command port is a separate path: nothing of this shows there.
    EXPECT_EQ(port_.ReadFor(milliseconds(50)), "");
    const std::vector<std::string> expected = {
        R"(mon05 <- "PHOTO(05)\n")",
        R"(mon05 -> "\xfe\n")",
        R"(mon05 <- "PHOTO(05)\n")",
        R"(mon05 -> "\xc3")",
    };
    EXPECT_EQ(Unstamped(spyControl_.Log()), expected);
    const std::vector<std::string> real = {"mon05 " + ToHex("PHOTO(05)\n"),
                                           "mon05 " + ToHex("PHOTO(05)\n")};
    EXPECT_EQ(real_.Log(), real);
}

TEST_F(SpyTest, OnlySpiedPortsExist) {
    const std::vector<std::string>& banner = spy_->banner();
    ASSERT_EQ(banner.size(), 4u);
    EXPECT_EQ(banner[0], "command-port " + spy_->commandPort());
    EXPECT_EQ(banner[1], "monitor-port 05 " + spy_->monitorPort(5));
    EXPECT_EQ(banner[3], "ready");
    std::string ports = "OK " + spy_->commandPort() + " - - - - " + spy_->monitorPort(5);
    for (int slot = 6; slot <= 16; ++slot)
        ports += " -";
    EXPECT_EQ(spyControl_.Request("ports"), ports);
    EXPECT_NE(access((dir_ + "/spy/monitor-05").c_str(), F_OK), -1);
    EXPECT_EQ(access((dir_ + "/spy/monitor-03").c_str(), F_OK), -1);
}

TEST_F(SpyTest, LibraryMayCloseAndReopenItsPort) {
    Real("card 4 Y48");
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        port_.Close();
        ASSERT_TRUE(port_.Open(dir_ + "/spy/command"));
        EXPECT_EQ(port_.Exchange("*IDN?(04)\n"), "HALVEX Y48 SIMULATED CARD\n");
        // Leave a reply unread behind, as a driver closing mid-exchange would.
        ASSERT_TRUE(port_.Send("*TST?(04)\n"));
        std::this_thread::sleep_for(milliseconds(20));
    }
    port_.Close();
    ASSERT_TRUE(port_.Open(dir_ + "/spy/command"));
    EXPECT_EQ(port_.Exchange("*TST?(04)\n"), "PASS\n");
    // While held, the spy's port refuses a second user as the driver's own open would.
    SerialPort second;
    EXPECT_FALSE(second.Open(dir_ + "/spy/command"));
    EXPECT_EQ(spyControl_.Log().size(), 18u);  // every exchange, the unread replies too
}

TEST_F(SpyTest, ControlRequests) {
    struct Case {
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {"ping", "OK"},
        {"  ping", "OK"},
        {"help", "OK 7"},
        {"card 1 X16", "ERR not a spy request (try help)"},
        {"relays 1", "ERR not a spy request (try help)"},
        {"log 1", "ERR not a spy request (try help)"},
        {"clearlog", "OK"},
        {"log", "OK 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(spyControl_.Request(c.request), c.reply);
        if (std::string(c.request) == "help") {
            for (int i = 0; i < 7; ++i)
                EXPECT_NE(spyControl_.ReadLine(), "<no reply>");
        }
    }
}

// The chassis goes away and comes back under the same name: the spy opens it again by itself.
TEST(SpyCommandLine, FindsTheChassisAgainAfterItWentAway) {
    const std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    std::string error;
    {
        SimProcess first;
        ASSERT_TRUE(
            first.Start({"--card", "3:X16:FIRST", "--link", dir + "/real", "--quiet"}, &error))
            << error;
        SimProcess spy;
        spy.CaptureStderr(dir + "/spy.err");
        ASSERT_TRUE(spy.Start({"--spy", dir + "/real/command", "--link", dir + "/spy"}, &error))
            << error;
        SerialPort port;
        ASSERT_TRUE(port.Open(dir + "/spy/command"));
        EXPECT_EQ(port.Exchange("*IDN?(03)\n"), "FIRST\n");

        EXPECT_EQ(first.Stop(), 0);
        port.Purge();
        ASSERT_TRUE(port.Send("*IDN?(03)\n"));  // nobody there to answer
        EXPECT_EQ(port.ReadFor(kSilence), "");

        SimProcess second;
        ASSERT_TRUE(
            second.Start({"--card", "3:X16:SECOND", "--link", dir + "/real", "--quiet"}, &error))
            << error;
        std::string reply;
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (reply != "SECOND\n" && Clock::now() < deadline)
            reply = port.Exchange("*IDN?(03)\n", milliseconds(300));
        EXPECT_EQ(reply, "SECOND\n");
        EXPECT_TRUE(spy.Running());
        EXPECT_EQ(spy.Stop(), 0);
    }
    std::ifstream err(dir + "/spy.err");
    const std::regex lost("^" + std::string(R"(\d\d:\d\d:\d\d\.\d{3} cmd device )") + dir +
                          "/real/command lost \\(.*\\), reopening$");
    const std::regex back("^" + std::string(R"(\d\d:\d\d:\d\d\.\d{3} cmd device )") + dir +
                          "/real/command open again$");
    int lostLines = 0;
    int backLines = 0;
    for (std::string line; std::getline(err, line);) {
        lostLines += std::regex_match(line, lost);
        backLines += std::regex_match(line, back);
    }
    EXPECT_EQ(lostLines, 1);
    EXPECT_EQ(backLines, 1);
    RemoveTree(dir);
}

// The spy takes the chassis port only if it can have it alone, as the driver would.
TEST(SpyCommandLine, RefusesADeviceItCannotHaveAlone) {
    SimProcess chassis;
    std::string error;
    ASSERT_TRUE(chassis.Start({"--card", "3:X16", "--quiet"}, &error)) << error;
    SerialPort holder;
    ASSERT_TRUE(holder.Open(chassis.commandPort()));
    struct Case {
        std::string device;
        bool starts;
    };
    const Case cases[] = {
        {chassis.commandPort(), false},  // held by the station software
        {"/nonexistent/ttyUSB0", false},
        {"/dev/null", false},  // not a serial port
        {chassis.monitorPort(3), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        SimProcess spy;
        spy.DiscardStderr();
        EXPECT_EQ(spy.Start({"--spy", c.device, "--quiet"}, &error), c.starts);
        EXPECT_EQ(spy.Stop(), c.starts ? 0 : 1);
    }
    // Once the holder lets go the spy gets the port.
    holder.Close();
    SimProcess spy;
    ASSERT_TRUE(spy.Start({"--spy", chassis.commandPort(), "--quiet"}, &error)) << error;
    SerialPort port;
    ASSERT_TRUE(port.Open(spy.commandPort()));
    EXPECT_EQ(port.Exchange("*TST?(03)\n"), "PASS\n");
    // And holds it alone: the station software can no longer open the chassis port directly.
    EXPECT_FALSE(holder.Open(chassis.commandPort()));
}

}  // namespace
