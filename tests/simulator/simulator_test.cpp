// End-to-end tests of halvex-sim: the real binary, its pseudo-terminals opened like serial ports,
// and its control channel. Every expectation is on exact bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "protocol.h"
#include "sim_harness.h"

namespace {

using simtest::ControlClient;
using simtest::SerialPort;
using simtest::SimProcess;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using halvex::sim::ToHex;

// How long a slot must stay quiet before we call it silent; every reply the simulator sends
// without a configured delay arrives within a few milliseconds.
const milliseconds kSilence(300);

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class SimulatorTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sim_ = new SimProcess;
        std::string error;
        if (!sim_->Start({"--control", "0", "--line-timeout", "1000", "--quiet"}, &error))
            startError_ = error;
    }
    static void TearDownTestSuite() {
        delete sim_;
        sim_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(startError_.empty()) << startError_;
        ASSERT_TRUE(sim_->Running());
        ASSERT_TRUE(control_.Connect(sim_->controlPort()));
        ASSERT_EQ(control_.Request("reset"), "OK");
        ASSERT_TRUE(port_.Open(sim_->commandPort()))
            << sim_->commandPort() << ": " << port_.lastError();
    }

    void Card(int slot, const std::string& model, const std::string& idText = "") {
        std::string request = "card " + std::to_string(slot) + " " + model;
        if (!idText.empty())
            request += " " + idText;
        ASSERT_EQ(control_.Request(request), "OK") << request;
    }

    void Ok(const std::string& request) { ASSERT_EQ(control_.Request(request), "OK") << request; }

    // The port and the control channel are separate paths into the simulator: before a control
    // request may depend on bytes written to a port, wait until the log shows they arrived.
    std::vector<std::string> WaitForLog(size_t entries) {
        std::vector<std::string> log;
        auto deadline = Clock::now() + std::chrono::seconds(3);
        while ((log = control_.Log()).size() < entries && Clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(10));
        }
        return log;
    }

    static SimProcess* sim_;
    static std::string startError_;
    ControlClient control_;
    SerialPort port_;
};

SimProcess* SimulatorTest::sim_ = nullptr;
std::string SimulatorTest::startError_;

TEST_F(SimulatorTest, BannerListsEveryPortThenReady) {
    const std::vector<std::string>& banner = sim_->banner();
    ASSERT_EQ(banner.size(), 19u);
    EXPECT_EQ(banner.front().rfind("command-port /dev/pts/", 0), 0u);
    for (int slot = 1; slot <= 16; ++slot) {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "monitor-port %02d /dev/pts/", slot);
        EXPECT_EQ(banner[static_cast<size_t>(slot)].rfind(prefix, 0), 0u) << banner[slot];
    }
    EXPECT_EQ(banner[17].rfind("control 127.0.0.1:", 0), 0u);
    EXPECT_GT(sim_->controlPort(), 0);
    EXPECT_EQ(banner.back(), "ready");
}

TEST_F(SimulatorTest, IdentificationOfPresentAndEmptySlots) {
    Card(1, "X16");
    Card(2, "X48", "ACME  X48 relay: rev 2.1");
    Card(16, "y48");
    struct Case {
        const char* command;
        const char* reply;  // "" means the slot stays silent
    };
    const Case cases[] = {
        {"*IDN?(01)\n", "HALVEX X16 SIMULATED CARD\n"},
        {"*IDN?(02)\n", "ACME  X48 relay: rev 2.1\n"},
        {"*IDN?(16)\n", "HALVEX Y48 SIMULATED CARD\n"},
        {"*IDN?(03)\n", ""},
        {"*IDN?(15)\n", ""},
        {"*IDN?(17)\n", ""},
        {"*IDN?(00)\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        port_.Purge();
        ASSERT_TRUE(port_.Send(c.command));
        if (*c.reply == '\0') {
            EXPECT_EQ(port_.ReadFor(kSilence), "");
        } else {
            EXPECT_EQ(port_.ReadLine(), c.reply);
        }
    }
}

TEST_F(SimulatorTest, RepliesToDeviceAndRelayCommands) {
    Card(1, "X16");
    Card(2, "X48");
    Card(3, "Y48");
    const std::string ok = "OK\n";
    const std::string cmd = "CMD Error\n";
    const std::string range = "Parameter Range Error\n";
    const std::string format = "Format Error\n";
    struct Case {
        std::string command;
        std::string reply;
    };
    const std::vector<Case> cases = {
        // Device-level commands on every model.
        {"*TST?(01)\n", "PASS\n"},
        {"*TST?(02)\n", "PASS\n"},
        {"*RST(03)\n", ok},
        // X16: every group, the edges of each range and one past them.
        {"CLOSE(01,05,07)\n", ok},
        {"OPEN(01,16,16)\n", ok},
        {"CLOSE(01,01,01)\n", ok},
        {"CLOSE(01,17,01)\n", range},
        {"CLOSE(01,01,17)\n", range},
        {"CLOSE(01,00,05)\n", range},
        {"CLOSE(01,-1,05)\n", range},
        {"CLOSE(01,05,hi)\n", ok},
        {"OPEN(01,16,lo)\n", ok},
        {"CLOSE(01,10,hi)\n", ok},  // row 10's hi line, not a GP relay
        {"CLOSE(01,17,lo)\n", range},
        {"CLOSE(01,10,32)\n", ok},
        {"CLOSE(01,10,33)\n", range},
        {"CLOSE(01,10,00)\n", range},
        {"CLOSE(01,10,-1)\n", range},
        {"CLOSE(01,10,123)\n", range},
        {"CLOSE(01,10,99999999999999999999)\n", range},
        {"CLOSE(01,20,01)\n", ok},
        {"OPEN(01,30,32)\n", ok},
        {"CLOSE(01,40,07)\n", ok},
        {"CLOSE(01,50,01)\n", ok},
        {"CLOSE(01,50,04)\n", ok},
        {"CLOSE(01,50,05)\n", range},
        {"CLOSE(01,50,00)\n", range},
        // X48: a 48 x 48 matrix and the single relays only.
        {"CLOSE(02,48,48)\n", ok},
        {"CLOSE(02,49,01)\n", range},
        {"CLOSE(02,01,49)\n", range},
        {"OPEN(02,48,lo)\n", ok},
        {"CLOSE(02,50,02)\n", ok},
        {"CLOSE(02,10,01)\n", cmd},
        {"CLOSE(02,20,01)\n", cmd},
        {"CLOSE(02,30,01)\n", cmd},
        {"OPEN(02,40,01)\n", cmd},
        // Y48: GP and Ext GP only.
        {"CLOSE(03,10,01)\n", ok},
        {"OPEN(03,20,32)\n", ok},
        {"CLOSE(03,10,33)\n", range},
        {"CLOSE(03,30,01)\n", cmd},
        {"CLOSE(03,40,01)\n", cmd},
        {"CLOSE(03,50,01)\n", cmd},
        {"CLOSE(03,05,07)\n", cmd},
        {"CLOSE(03,05,hi)\n", cmd},
        // Lines that name a present card but break the grammar.
        {"CLOSE(01,5,07)\n", format},
        {"CLOSE(01,05,7)\n", format},
        {"CLOSE(01,005,07)\n", format},
        {"CLOSE(01,-05,07)\n", format},
        {"CLOSE(01,-0,07)\n", format},
        {"CLOSE(1,05,07)\n", format},
        {"close(01,05,07)\n", format},
        {"CLOSE(01,05,HI)\n", format},
        {"CLOSE(01,05)\n", format},
        {"CLOSE(01,05,07,09)\n", format},
        {"CLOSE(01, 05,07)\n", format},
        {"CLOSE(01,05,07\n", format},
        {"CLOSE(01,05,07)x\n", format},
        {"CLOSE (01,05,07)\n", format},
        {"*IDN?(01)\r\n", format},
        {"*IDN?(01,02)\n", format},
        {"PHOTO(01)\n", format},
        {"RESET(02)\n", format},
        {std::string("*TST?(01)\0\n", 11), format},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(halvex::sim::Printable(c.command));
        EXPECT_EQ(port_.Exchange(c.command), c.reply);
    }
}

TEST_F(SimulatorTest, LinesWithoutAPresentCardGetNoReply) {
    Card(1, "X16");
    const char* const lines[] = {
        "CLOSE(04,05,07)\n",  // empty slot
        "CLOSE(4,05,07)\n",   // empty slot, malformed
        "*TST?(04)\n",
        "CLOSE(17,05,07)\n",  // no such slot
        "CLOSE(x1,05,07)\n", "CLOSE(-1,05,07)\n", "garbage\n", "\n", "OK\n",
    };
    for (const char* line : lines) {
        SCOPED_TRACE(halvex::sim::Printable(line));
        port_.Purge();
        ASSERT_TRUE(port_.Send(line));
        EXPECT_EQ(port_.ReadFor(kSilence), "");
    }
    // The chassis still answers after all that.
    EXPECT_EQ(port_.Exchange("*TST?(01)\n"), "PASS\n");
}

TEST_F(SimulatorTest, TracksRelayStateAndOperationCount) {
    Card(5, "X16");
    const char* const commands[] = {
        "CLOSE(05,05,07)\n", "CLOSE(05,05,lo)\n", "CLOSE(05,10,12)\n", "CLOSE(05,50,01)\n",
        "CLOSE(05,40,03)\n", "OPEN(05,40,03)\n",  "CLOSE(05,17,01)\n",  // refused: no op
    };
    for (const char* command : commands)
        ASSERT_FALSE(port_.Exchange(command).empty()) << command;
    EXPECT_EQ(control_.Request("relays 5"), "OK matrix:5:7 row:5:lo gp:12 pull-up ops:6");
    EXPECT_EQ(port_.Exchange("*RST(05)\n"), "OK\n");
    EXPECT_EQ(control_.Request("relays 5"), "OK ops:6");
    EXPECT_EQ(control_.Request("relays 6"), "ERR no card in slot");
}

TEST_F(SimulatorTest, ScriptsShapeTheNextReply) {
    Card(1, "X16");
    // Split and late: "CMD" at once, the rest 400 ms later.
    Ok("next 1 hex:434d44 wait:400 hex:204572726f720a");
    auto start = Clock::now();
    port_.Purge();
    ASSERT_TRUE(port_.Send("CLOSE(01,05,07)\n"));
    EXPECT_EQ(port_.ReadAtLeast(3), "CMD");
    EXPECT_EQ(port_.ReadFor(milliseconds(100)), "");  // the rest is still being held back
    EXPECT_EQ(port_.ReadLine(), " Error\n");
    EXPECT_GE(MsSince(start), 390);

    // Queued scripts apply one per command, then the card answers normally again.
    Ok("next 1 hex:410a");
    Ok("next 1 none");
    Ok("next 1 hex:43 hex:440a");
    EXPECT_EQ(port_.Exchange("*IDN?(01)\n"), "A\n");
    port_.Purge();
    ASSERT_TRUE(port_.Send("*IDN?(01)\n"));
    EXPECT_EQ(port_.ReadFor(kSilence), "");
    EXPECT_EQ(port_.Exchange("garbage(01)\n"), "CD\n");  // a malformed line takes its turn too
    EXPECT_EQ(port_.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");

    // A script answers for an empty slot, without a line end if told so.
    Ok("next 9 hex:50617261");
    port_.Purge();
    ASSERT_TRUE(port_.Send("OPEN(09,01,01)\n"));
    EXPECT_EQ(port_.ReadFor(kSilence), "Para");
}

TEST_F(SimulatorTest, PurgeDiscardsALateReply) {
    Card(1, "X16");
    Ok("next 1 wait:100 hex:4c4154450a");
    port_.Purge();
    ASSERT_TRUE(port_.Send("*TST?(01)\n"));
    std::this_thread::sleep_for(milliseconds(400));  // "LATE\n" is now queued on our side
    EXPECT_EQ(port_.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
}

TEST_F(SimulatorTest, DelayAndSilencePerSlot) {
    Card(1, "X16");
    Card(2, "Y48");
    Ok("delay 1 500");
    // The delayed slot does not hold back another slot's reply on the same port.
    auto start = Clock::now();
    port_.Purge();
    ASSERT_TRUE(port_.Send("*TST?(01)\n"));
    ASSERT_TRUE(port_.Send("*IDN?(02)\n"));
    EXPECT_EQ(port_.ReadLine(), "HALVEX Y48 SIMULATED CARD\n");
    EXPECT_EQ(port_.ReadLine(), "PASS\n");
    EXPECT_GE(MsSince(start), 490);

    Ok("delay 1 0");
    Ok("silent 2 1");
    port_.Purge();
    ASSERT_TRUE(port_.Send("*IDN?(02)\n"));
    EXPECT_EQ(port_.ReadFor(kSilence), "");
    Ok("silent 2 0");
    EXPECT_EQ(port_.Exchange("*IDN?(02)\n"), "HALVEX Y48 SIMULATED CARD\n");
}

TEST_F(SimulatorTest, RawIdentificationOverride) {
    Card(2, "X16");
    struct Case {
        int slot;
        const char* hex;
        std::string reply;
    };
    const Case cases[] = {
        {1, "59343820580d0a", "Y48 X\r\n"},      // no card at all, CR LF ending
        {2, "434d44204572726f72", "CMD Error"},  // a card, but no line end
        {3, "00580a", std::string("\0X\n", 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        Ok("idn " + std::to_string(c.slot) + " " + c.hex);
        char command[16];
        std::snprintf(command, sizeof command, "*IDN?(%02d)\n", c.slot);
        port_.Purge();
        ASSERT_TRUE(port_.Send(command));
        EXPECT_EQ(port_.ReadFor(kSilence), c.reply);
    }
    // Only *IDN? is overridden: the empty slot 1 still ignores everything else.
    port_.Purge();
    ASSERT_TRUE(port_.Send("*TST?(01)\n"));
    EXPECT_EQ(port_.ReadFor(kSilence), "");
    EXPECT_EQ(port_.Exchange("*TST?(02)\n"), "PASS\n");
    Ok("idn 2 -");
    EXPECT_EQ(port_.Exchange("*IDN?(02)\n"), "HALVEX X16 SIMULATED CARD\n");
}

TEST_F(SimulatorTest, ErrorLineEndings) {
    Card(1, "X16");
    Ok("eol 1 none errors");
    port_.Purge();
    ASSERT_TRUE(port_.Send("CLOSE(01,99,01)\n"));
    EXPECT_EQ(port_.ReadFor(kSilence), "Parameter Range Error");
    EXPECT_EQ(port_.Exchange("CLOSE(01,01,01)\n"), "OK\n");
    Ok("eol 1 crlf");
    EXPECT_EQ(port_.Exchange("*TST?(01)\n"), "PASS\r\n");
    EXPECT_EQ(port_.Exchange("CLOSE(01,5,01)\n"), "Format Error\r\n");
}

TEST_F(SimulatorTest, PhotoOnTheMonitoringPorts) {
    Card(3, "X16");
    Card(5, "Y48");
    Card(6, "X48");
    struct Case {
        int port;
        const char* setup;  // control request before the exchange, or nullptr
        const char* command;
        std::string reply;  // "" means silence
    };
    const Case cases[] = {
        {3, nullptr, "PHOTO(03)\n", "\xff\n"},
        {3, "status 3 0xFE", "PHOTO(03)\n", "\xfe\n"},
        {3, "status 3 0", "PHOTO(03)\n", std::string("\0\n", 2)},
        {5, "status 5 65", "PHOTO(05)\n", "A\n"},
        {6, nullptr, "PHOTO(06)\n", ""},  // X48: no signal inputs
        {7, nullptr, "PHOTO(07)\n", ""},  // empty slot
        {3, nullptr, "PHOTO(05)\n", ""},  // addressed to another slot
        {3, nullptr, "*IDN?(03)\n", "Format Error\n"},
        {7, "photo 7 410a", "PHOTO(07)\n", "A\n"},  // raw reply without a card
        {5, "photo 5 c3c3", "PHOTO(05)\n", "\xc3\xc3"},
        {5, "photo 5 -", "PHOTO(05)\n", "A\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + (c.setup ? c.setup : ""));
        if (c.setup != nullptr)
            Ok(c.setup);
        SerialPort monitor;
        ASSERT_TRUE(monitor.Open(sim_->monitorPort(c.port)));
        monitor.Purge();
        ASSERT_TRUE(monitor.Send(c.command));
        EXPECT_EQ(monitor.ReadFor(kSilence), c.reply);
    }
}

TEST_F(SimulatorTest, LogHoldsEveryReceivedLineByteForByte) {
    Card(1, "X16");
    Card(3, "X16");
    Ok("clearlog");
    SerialPort monitor;
    ASSERT_TRUE(monitor.Open(sim_->monitorPort(3)));

    EXPECT_EQ(port_.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
    ASSERT_TRUE(monitor.Send("PHOTO(03)\n"));
    EXPECT_EQ(monitor.ReadLine(), "\xff\n");
    // A line written in two pieces is one line.
    ASSERT_TRUE(port_.Send("CLOSE(01,"));
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_TRUE(port_.Send("05,07)\n"));
    EXPECT_EQ(port_.ReadLine(), "OK\n");
    ASSERT_TRUE(port_.Send(std::string("\x01\xfe\0\n", 4)));
    ASSERT_TRUE(port_.Send("OPEN(01"));  // still incomplete when the log is taken

    std::vector<std::string> log = WaitForLog(5);
    const std::vector<std::string> expected = {
        "cmd " + ToHex("*IDN?(01)\n"),       "mon03 " + ToHex("PHOTO(03)\n"),
        "cmd " + ToHex("CLOSE(01,05,07)\n"), "cmd 01fe000a",
        "cmd " + ToHex("OPEN(01"),
    };
    EXPECT_EQ(log, expected);

    // Completing the line turns the partial entry into the whole line.
    ASSERT_TRUE(port_.Send(",05,07)\n"));
    EXPECT_EQ(port_.ReadLine(), "OK\n");
    log = control_.Log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[4], "cmd " + ToHex("OPEN(01,05,07)\n"));

    Ok("clearlog");
    std::string header;
    EXPECT_EQ(control_.Log(&header), std::vector<std::string>{});
    EXPECT_EQ(header, "OK 0");
}

TEST_F(SimulatorTest, IdlePartialLineIsLoggedAndDropped) {
    Card(1, "X16");
    Ok("clearlog");
    ASSERT_TRUE(port_.Send("XYZ"));
    std::this_thread::sleep_for(milliseconds(1600));  // well past the 1000 ms line time-out
    EXPECT_EQ(port_.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
    const std::vector<std::string> expected = {"cmd 58595a", "cmd " + ToHex("*IDN?(01)\n")};
    EXPECT_EQ(control_.Log(), expected);
}

TEST_F(SimulatorTest, PortCanBeClosedAndReopened) {
    Card(4, "Y48");
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        port_.Close();
        ASSERT_TRUE(port_.Open(sim_->commandPort()));
        EXPECT_EQ(port_.Exchange("*IDN?(04)\n"), "HALVEX Y48 SIMULATED CARD\n");
        // Leave a reply unread behind, as a driver closing mid-exchange would.
        ASSERT_TRUE(port_.Send("*TST?(04)\n"));
        std::this_thread::sleep_for(milliseconds(20));
    }
    SerialPort monitor;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(monitor.Open(sim_->monitorPort(4)));
        EXPECT_EQ(monitor.Exchange("PHOTO(04)\n"), "\xff\n");
        monitor.Close();
    }
    // While held, the port refuses a second user as the driver's own open would.
    SerialPort second;
    EXPECT_FALSE(second.Open(sim_->commandPort()));
    EXPECT_TRUE(sim_->Running());
}

TEST_F(SimulatorTest, ControlRequestsAreCheckedAndNeverFatal) {
    struct Case {
        std::string request;
        std::string reply;  // exact, or a prefix when it ends in '*'
    };
    const std::vector<Case> cases = {
        {"ping", "OK"},
        {"ping\r", "OK"},
        {"frobnicate 1 2", "ERR unknown request"},
        {"PING", "ERR unknown request"},
        {"", "ERR*"},
        {"card", "ERR*"},
        {"card 0 X16", "ERR*"},
        {"card 17 X16", "ERR*"},
        {"card 1 Z99", "ERR*"},
        {"card 1", "ERR*"},
        {"remove x", "ERR*"},
        {"idn 1 abc", "ERR*"},
        {"idn 1 zz", "ERR*"},
        {"idn 1", "ERR*"},
        {"delay 1 -5", "ERR*"},
        {"delay 1 99999999", "ERR*"},
        {"silent 1 2", "ERR*"},
        {"next 1", "ERR*"},
        {"next 1 hex:", "ERR*"},
        {"next 1 hex:abc", "ERR*"},
        {"next 1 wait:x", "ERR*"},
        {"next 1 hex:0a bogus", "ERR*"},
        {"status 1 256", "ERR*"},
        {"status 1 0x1ff", "ERR*"},
        {"status 1 -1", "ERR*"},
        {"photo 1 0", "ERR*"},
        {"eol 1 cr", "ERR*"},
        {"relays 4", "ERR no card in slot"},
        {"range 1 rows 1 16", "ERR no card in slot"},
        {std::string("\x01\xff\x00 card", 8), "ERR*"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(halvex::sim::Printable(c.request));
        std::string reply = control_.Request(c.request);
        if (c.reply.back() == '*') {
            EXPECT_EQ(reply.rfind(c.reply.substr(0, c.reply.size() - 1), 0), 0u) << reply;
        } else {
            EXPECT_EQ(reply, c.reply);
        }
    }
    // A rejected script must not have been queued.
    Card(1, "X16");
    EXPECT_EQ(port_.Exchange("*TST?(01)\n"), "PASS\n");

    // Clients come and go, one of them mid-request, and the simulator carries on.
    {
        ControlClient other;
        ASSERT_TRUE(other.Connect(sim_->controlPort()));
        EXPECT_EQ(other.Request("ping"), "OK");
        ASSERT_TRUE(other.SendRaw("card 2 X1"));
    }
    ControlClient again;
    ASSERT_TRUE(again.Connect(sim_->controlPort()));
    EXPECT_EQ(again.Request("relays 2"), "ERR no card in slot");
    EXPECT_EQ(control_.Request("ping"), "OK");
}

TEST_F(SimulatorTest, CardAndRangeRequests) {
    Card(7, "X48", "  two  leading spaces kept");
    EXPECT_EQ(port_.Exchange("*IDN?(07)\n"), "  two  leading spaces kept\n");
    Ok("range 7 rows 5 8");
    Ok("range 7 cols -3 3");
    EXPECT_EQ(port_.Exchange("CLOSE(07,04,01)\n"), "Parameter Range Error\n");
    EXPECT_EQ(port_.Exchange("CLOSE(07,05,-3)\n"), "OK\n");
    EXPECT_EQ(port_.Exchange("CLOSE(07,08,04)\n"), "Parameter Range Error\n");
    EXPECT_EQ(port_.Exchange("CLOSE(07,09,hi)\n"), "Parameter Range Error\n");
    EXPECT_EQ(control_.Request("relays 7"), "OK matrix:5:-3 ops:1");
    // Plugging a card again starts it afresh; removing it silences the slot.
    Card(7, "X16");
    EXPECT_EQ(control_.Request("relays 7"), "OK ops:0");
    EXPECT_EQ(port_.Exchange("CLOSE(07,16,16)\n"), "OK\n");
    Ok("remove 7");
    port_.Purge();
    ASSERT_TRUE(port_.Send("*IDN?(07)\n"));
    EXPECT_EQ(port_.ReadFor(kSilence), "");
}

TEST_F(SimulatorTest, ResetClearsCardsSettingsAndQueuedReplies) {
    Card(1, "X16");
    Ok("delay 1 300");
    Ok("next 1 hex:580a");
    Ok("idn 2 410a");
    port_.Purge();
    ASSERT_TRUE(port_.Send("*IDN?(01)\n"));
    ASSERT_EQ(WaitForLog(1).size(), 1u);  // received; its reply is still waiting out the delay
    Ok("reset");
    EXPECT_EQ(port_.ReadFor(milliseconds(600)), "");
    Card(1, "X16");
    auto start = Clock::now();
    EXPECT_EQ(port_.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
    EXPECT_LT(MsSince(start), 290);  // the 300 ms delay is gone
    port_.Purge();
    ASSERT_TRUE(port_.Send("*IDN?(02)\n"));
    EXPECT_EQ(port_.ReadFor(kSilence), "");
    // The log starts again at the reset.
    const std::vector<std::string> expected = {"cmd " + ToHex("*IDN?(01)\n"),
                                               "cmd " + ToHex("*IDN?(02)\n")};
    EXPECT_EQ(control_.Log(), expected);
}

// The command line: cards, delays, silence, links and a clean exit on SIGTERM.
TEST(SimulatorCommandLine, OptionsLinksAndCleanExit) {
    char dirTemplate[] = "/tmp/halvex-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string linkDir = std::string(dirTemplate) + "/links/nested";

    SimProcess sim;
    std::string error;
    ASSERT_TRUE(
        sim.Start({"--card", "3:X16:HALVEX X16 REV2: A", "--card", "4:Y48", "--delay", "4:300",
                   "--card", "5:X48", "--silent", "5", "--link", linkDir, "--quiet"},
                  &error))
        << error;
    EXPECT_EQ(sim.controlPort(), -1);  // no --control, no control line
    EXPECT_EQ(sim.banner().size(), 18u);

    char target[256];
    ssize_t n = readlink((linkDir + "/command").c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(target, static_cast<size_t>(n)), sim.commandPort());
    n = readlink((linkDir + "/monitor-16").c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(target, static_cast<size_t>(n)), sim.monitorPort(16));

    // Before any client touches it, a port is raw: no echo, no line editing, no CR/LF mapping.
    int fd = open(sim.monitorPort(16).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    close(fd);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);

    SerialPort port;
    ASSERT_TRUE(port.Open(linkDir + "/command"));
    EXPECT_EQ(port.Exchange("*IDN?(03)\n"), "HALVEX X16 REV2: A\n");
    auto start = Clock::now();
    EXPECT_EQ(port.Exchange("*IDN?(04)\n"), "HALVEX Y48 SIMULATED CARD\n");
    EXPECT_GE(MsSince(start), 290);
    port.Purge();
    ASSERT_TRUE(port.Send("*IDN?(05)\n"));
    EXPECT_EQ(port.ReadFor(kSilence), "");
    port.Close();

    EXPECT_EQ(sim.Stop(), 0);
    struct stat st {};
    EXPECT_NE(lstat((linkDir + "/command").c_str(), &st), 0);
    EXPECT_NE(lstat((linkDir + "/monitor-01").c_str(), &st), 0);
    rmdir(linkDir.c_str());
    rmdir((std::string(dirTemplate) + "/links").c_str());
    rmdir(dirTemplate);
}

// Without --quiet every received line is traced on stderr with a time stamp and its port, and a
// client closing its port is no hang-up for the simulator, which keeps the slave open itself.
TEST(SimulatorCommandLine, TracesReceivedLinesAndSurvivesClientsClosing) {
    char pathTemplate[] = "/tmp/halvex-sim-stderr-XXXXXX";
    int tmp = mkstemp(pathTemplate);
    ASSERT_GE(tmp, 0);
    close(tmp);
    {
        SimProcess sim;
        sim.CaptureStderr(pathTemplate);
        std::string error;
        ASSERT_TRUE(sim.Start({"--card", "3:X16"}, &error)) << error;
        for (int round = 0; round < 3; ++round) {
            SerialPort port;
            ASSERT_TRUE(port.Open(sim.commandPort()));
            EXPECT_EQ(port.Exchange("*IDN?(03)\n"), "HALVEX X16 SIMULATED CARD\n");
            port.Close();
            SerialPort monitor;
            ASSERT_TRUE(monitor.Open(sim.monitorPort(3)));
            EXPECT_EQ(monitor.Exchange("PHOTO(03)\n"), "\xff\n");
            monitor.Close();
            std::this_thread::sleep_for(milliseconds(100));  // the ports now have no client
        }
        EXPECT_EQ(sim.Stop(), 0);
    }
    std::ifstream file(pathTemplate);
    std::string line;
    int commands = 0;
    int photos = 0;
    const std::regex command(R"(^\d\d:\d\d:\d\d\.\d{3} cmd <- "\*IDN\?\(03\)\\n"$)");
    const std::regex photo(R"(^\d\d:\d\d:\d\d\.\d{3} mon03 <- "PHOTO\(03\)\\n"$)");
    while (std::getline(file, line)) {
        if (std::regex_match(line, command))
            ++commands;
        if (std::regex_match(line, photo))
            ++photos;
        EXPECT_EQ(line.find("hang-up"), std::string::npos) << line;
    }
    EXPECT_EQ(commands, 3);
    EXPECT_EQ(photos, 3);
    unlink(pathTemplate);
}

TEST(SimulatorCommandLine, ShutdownRequestEndsTheProcess) {
    SimProcess sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--control", "0", "--quiet"}, &error)) << error;
    ControlClient control;
    ASSERT_TRUE(control.Connect(sim.controlPort()));
    EXPECT_EQ(control.Request("ports").rfind("OK " + sim.commandPort() + " ", 0), 0u);
    EXPECT_EQ(control.Request("shutdown"), "OK");
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (sim.Running() && Clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_FALSE(sim.Running());
}

TEST(SimulatorCommandLine, BadOptionsAreRefused) {
    const std::vector<std::vector<std::string>> cases = {
        {"--card", "17:X16"},
        {"--card", "1:Z80"},
        {"--card", "1"},
        {"--delay", "1"},
        {"--silent", "0"},
        {"--control", "70000"},
        {"--bogus"},
        {"--card"},
        {"--chassis"},
        {"--chassis", ""},
        {"--exit-on-eof"},                 // without --stdin-control
        {"--spy-monitor", "3:/dev/null"},  // without --spy
        {"--spy", "/dev/null", "--card", "1:X16"},
        {"--spy", "/dev/null", "--delay", "1:5"},
        {"--spy", "/dev/null", "--chassis", "/dev/null"},
        {"--spy", "/dev/null", "--spy-monitor", "0:/dev/null"},
        {"--spy", "/dev/null", "--spy-monitor", "3:"},
        {"--spy", "/dev/null", "--spy-monitor", "3"},
        {"--spy", "/dev/null", "--spy-monitor", "3:/dev/null", "--spy-monitor", "3:/dev/zero"},
        {"--spy", ""},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const std::string& arg : args)
            joined += arg + " ";
        SCOPED_TRACE(joined);
        SimProcess sim;
        sim.DiscardStderr();
        std::string error;
        EXPECT_FALSE(sim.Start(args, &error));
        EXPECT_EQ(sim.Stop(), 2);
    }
}

TEST(SimulatorCommandLine, HelpNamesEveryOption) {
    SimProcess sim;
    std::string error;
    EXPECT_FALSE(sim.Start({"--help"}, &error));  // prints, exits, never "ready"
    EXPECT_EQ(sim.Stop(), 0);
    std::string text;
    for (const std::string& line : sim.banner())
        text += line + "\n";
    ASSERT_EQ(text.rfind("usage: halvex-sim ", 0), 0u) << text;
    for (const char* option :
         {"--chassis FILE", "--card SLOT:MODEL[:IDTEXT]", "--delay SLOT:MS", "--silent SLOT",
          "--link DIR", "--control PORT", "--stdin-control", "--exit-on-eof", "--line-timeout MS",
          "--quiet", "--spy DEVICE", "--spy-monitor SLOT:DEVICE"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
}

std::string WriteTempFile(const std::string& text) {
    char pathTemplate[] = "/tmp/halvex-chassis-XXXXXX";
    int fd = mkstemp(pathTemplate);
    if (fd < 0)
        return "";
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok ? pathTemplate : "";
}

// The file sets the bench up; --card, --delay and --silent land on top of it wherever they stand
// on the command line; "restore" brings the whole start-up chassis back.
TEST(SimulatorCommandLine, ChassisFileWithOptionsOnTop) {
    const std::string path = WriteTempFile(
        "# slot model identification\n"
        "card 1 X16 BENCH ONE   # comment\n"
        "card 2 X48 BENCH TWO\n"
        "card 5 Y48\n"
        "card 6 X16\n"
        "range 5 gp 1 24\n"
        "delay 2 300\n"
        "status 5 0xFE\n"
        "eol 1 crlf\n");
    ASSERT_FALSE(path.empty());
    SimProcess sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--card", "2:Y48:OVERRIDDEN", "--chassis", path, "--silent", "6",
                           "--control", "0", "--quiet"},
                          &error))
        << error;
    SerialPort port;
    ASSERT_TRUE(port.Open(sim.commandPort()));
    SerialPort monitor;
    ASSERT_TRUE(monitor.Open(sim.monitorPort(5)));
    ControlClient control;
    ASSERT_TRUE(control.Connect(sim.controlPort()));

    auto check = [&]() {
        struct Case {
            const char* command;
            const char* reply;  // "" means silence
        };
        const Case cases[] = {
            {"*IDN?(01)\n", "BENCH ONE\r\n"},
            {"*IDN?(05)\n", "HALVEX Y48 SIMULATED CARD\n"},
            {"CLOSE(05,10,24)\n", "OK\n"},
            {"CLOSE(05,10,25)\n", "Parameter Range Error\n"},
            {"*IDN?(06)\n", ""},  // present, but silenced on the command line
            {"*IDN?(03)\n", ""},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.command);
            port.Purge();
            ASSERT_TRUE(port.Send(c.command));
            if (*c.reply == '\0') {
                EXPECT_EQ(port.ReadFor(kSilence), "");
            } else {
                EXPECT_EQ(port.ReadLine(), c.reply);
            }
        }
        // The card given on the command line replaced the file's; the slot's delay stayed.
        auto start = Clock::now();
        EXPECT_EQ(port.Exchange("*IDN?(02)\n"), "OVERRIDDEN\n");
        EXPECT_GE(MsSince(start), 290);
        EXPECT_EQ(monitor.Exchange("PHOTO(05)\n"), "\xfe\n");
    };
    check();
    for (const char* request :
         {"card 1 X48", "remove 2", "status 5 0", "silent 6 0", "card 3 X16", "restore"}) {
        EXPECT_EQ(control.Request(request), "OK") << request;
    }
    check();
    EXPECT_EQ(sim.Stop(), 0);
    unlink(path.c_str());
}

TEST(SimulatorCommandLine, BadChassisFileNamesFileAndLine) {
    const std::string good = WriteTempFile("card 1 X16\n");
    ASSERT_FALSE(good.empty());
    struct Case {
        const char* text;  // nullptr: the file does not exist
        std::vector<std::string> extra;
        std::string message;  // "@" stands for the file's path
    };
    const std::vector<Case> cases = {
        {"card 1 X16\n\n  range 1 rows 9 1  # backwards\n", {}, "@:3: bad range: range 1 rows 9 1"},
        {"card 2 X16\ncard 3 Q99 X\n", {}, "@:2: bad model (X16, X48, Y48): card 3 Q99 X"},
        {"log\n", {}, "@:1: 'log' is not a set-up request: log"},
        {nullptr, {}, "@: No such file or directory"},
        {"card 1 X16\n",
         {"--chassis", "/nonexistent.chassis"},
         "/nonexistent.chassis: No such file or directory"},  // every file must load
    };
    char errTemplate[] = "/tmp/halvex-sim-stderr-XXXXXX";
    int tmp = mkstemp(errTemplate);
    ASSERT_GE(tmp, 0);
    close(tmp);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        std::string path = c.text != nullptr ? WriteTempFile(c.text) : "/nonexistent/x.chassis";
        ASSERT_FALSE(path.empty());
        std::vector<std::string> args = {"--chassis", good, "--chassis", path};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        SimProcess sim;
        sim.CaptureStderr(errTemplate);
        std::string error;
        EXPECT_FALSE(sim.Start(args, &error));
        EXPECT_EQ(sim.Stop(), 2);
        std::ifstream err(errTemplate);
        std::string line;
        std::getline(err, line);
        std::string expected = c.message;
        if (expected[0] == '@')
            expected = path + expected.substr(1);
        EXPECT_EQ(line, "halvex-sim: " + expected);
        if (c.text != nullptr)
            unlink(path.c_str());
    }
    unlink(errTemplate);
    unlink(good.c_str());
}

// Requests typed on stdin are answered on stdout, next to the TCP channel; the end of stdin
// leaves the simulator running.
TEST(SimulatorStdinControl, AnswersOnStdoutAndOutlivesTheEndOfInput) {
    SimProcess sim;
    sim.PipeStdin();
    std::string error;
    ASSERT_TRUE(sim.Start(
        {"--stdin-control", "--card", "1:X16", "--card", "5:Y48:FIVE", "--control", "0", "--quiet"},
        &error))
        << error;
    SerialPort port;
    ASSERT_TRUE(port.Open(sim.commandPort()));
    EXPECT_EQ(port.Exchange("CLOSE(01,05,07)\n"), "OK\n");

    struct Case {
        const char* request;
        std::vector<std::string> reply;  // every line of it
    };
    const std::vector<Case> cases = {
        {"relays 1", {"OK matrix:5:7 ops:1"}},
        {"status 5 0x0f", {"OK"}},
        {"  ping  \r", {"OK"}},
        {"bogus", {"ERR unknown request"}},
        {"ops 1", {"OK 1", "matrix:5:7 ops:1 closed"}},
        {"log", {"OK 1", "cmd " + ToHex("CLOSE(01,05,07)\n")}},
        {"state",
         {"OK 16", "01 X16 id=\"HALVEX X16 SIMULATED CARD\" status=0xff ops=1 closed=matrix:5:7",
          "02 empty", "03 empty", "04 empty", "05 Y48 id=\"FIVE\" status=0x0f ops=0 closed=none",
          "06 empty", "07 empty", "08 empty", "09 empty", "10 empty", "11 empty", "12 empty",
          "13 empty", "14 empty", "15 empty", "16 empty"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        ASSERT_TRUE(sim.WriteStdin(std::string(c.request) + "\n"));
        for (const std::string& line : c.reply)
            EXPECT_EQ(sim.ReadStdoutLine(), line);
    }
    // Several requests in one write, and the help that lists them all.
    ASSERT_TRUE(sim.WriteStdin("ping\nhelp\nports\n"));
    EXPECT_EQ(sim.ReadStdoutLine(), "OK");
    std::string header = sim.ReadStdoutLine();
    ASSERT_EQ(header.rfind("OK ", 0), 0u) << header;
    int count = std::atoi(header.c_str() + 3);
    EXPECT_GE(count, 20);
    std::string help;
    for (int i = 0; i < count; ++i)
        help += sim.ReadStdoutLine() + "\n";
    EXPECT_EQ(help.rfind("ping ", 0), 0u) << help;
    EXPECT_NE(help.find("\nstate "), std::string::npos) << help;
    EXPECT_EQ(sim.ReadStdoutLine().rfind("OK " + sim.commandPort() + " ", 0), 0u);

    // The signal inputs set on stdin reach the card.
    SerialPort monitor;
    ASSERT_TRUE(monitor.Open(sim.monitorPort(5)));
    EXPECT_EQ(monitor.Exchange("PHOTO(05)\n"), "\x0f\n");

    sim.CloseStdin();
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_TRUE(sim.Running());
    EXPECT_EQ(port.Exchange("*IDN?(05)\n"), "FIVE\n");
    ControlClient control;
    ASSERT_TRUE(control.Connect(sim.controlPort()));
    EXPECT_EQ(control.Request("ping"), "OK");
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimulatorStdinControl, ExitOnEofAnswersWhatCameFirst) {
    SimProcess sim;
    sim.PipeStdin();
    std::string error;
    ASSERT_TRUE(
        sim.Start({"--stdin-control", "--exit-on-eof", "--card", "2:X48", "--quiet"}, &error))
        << error;
    // The last request has no line end: the end of input completes it.
    ASSERT_TRUE(sim.WriteStdin("relays 2\nshutdownx\nrelays 2"));
    sim.CloseStdin();
    EXPECT_EQ(sim.ReadStdoutLine(), "OK ops:0");
    EXPECT_EQ(sim.ReadStdoutLine(), "ERR unknown request");
    EXPECT_EQ(sim.ReadStdoutLine(), "OK ops:0");
    EXPECT_EQ(sim.WaitForExit(std::chrono::seconds(5)), 0);
}

TEST(SimulatorStdinControl, ShutdownOnStdin) {
    SimProcess sim;
    sim.PipeStdin();
    std::string error;
    ASSERT_TRUE(sim.Start({"--stdin-control", "--quiet"}, &error)) << error;
    ASSERT_TRUE(sim.WriteStdin("shutdown\n"));
    EXPECT_EQ(sim.ReadStdoutLine(), "OK");
    EXPECT_EQ(sim.WaitForExit(std::chrono::seconds(5)), 0);
}

}  // namespace
