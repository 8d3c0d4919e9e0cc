// Fault injection: the "fault" request on the chassis with time passed in, and "vanish" and
// "replug" on the real process, its ports and its links. Every expectation is on exact bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "chassis.h"
#include "protocol.h"
#include "reply_queue.h"
#include "sim_harness.h"

namespace {

using namespace halvex::sim;
using simtest::ControlClient;
using simtest::SerialPort;
using simtest::SimProcess;
using std::chrono::milliseconds;

const TimePoint t0 = TimePoint{} + std::chrono::hours(1);

std::string Joined(const std::vector<Output>& outputs) {
    std::string bytes;
    for (const Output& o : outputs)
        bytes += o.bytes;
    return bytes;
}

class FaultChassis : public ::testing::Test {
  protected:
    void SetUp() override { chassis_.PlugCard(1, Model::X16); }
    // Sends a line to slot 1 at t0 and returns what went out at t0 + `at`.
    std::string At(int at, const std::string& line = "CLOSE(01,10,01)\n") {
        if (!sent_) {
            chassis_.Receive(kCommandPort, line, t0);
            sent_ = true;
        }
        return Joined(chassis_.Advance(t0 + milliseconds(at)));
    }
    // One command at t0 and everything it earns within a second.
    std::string Reply(const std::string& line = "CLOSE(01,10,01)\n") {
        chassis_.Receive(kCommandPort, line, t0);
        return Joined(chassis_.Advance(t0 + milliseconds(1000)));
    }
    void Ok(const std::string& request) { ASSERT_EQ(chassis_.Control(request), "OK\n") << request; }
    Chassis chassis_;
    bool sent_ = false;
};

TEST_F(FaultChassis, ReshapingModesChangeOneReplyThenTheCardIsNormal) {
    struct Case {
        const char* request;
        const char* line;
        std::string reply;
        std::string normal;  // the card's own reply, which the next command gets again
    };
    const std::string id = "HALVEX X16 SIMULATED CARD";
    const std::string range = "Parameter Range Error";
    const std::vector<Case> cases = {
        {"fault 1 nul", "CLOSE(01,10,01)\n", std::string("\0OK\n", 4), "OK\n"},
        {"fault 1 nul 2", "CLOSE(01,10,01)\n", std::string("OK\0\n", 4), "OK\n"},
        {"fault 1 nul 99", "CLOSE(01,10,01)\n", std::string("OK\n\0", 4), "OK\n"},
        {"fault 1 nul 21", "CLOSE(01,10,99)\n", range + std::string("\0\n", 2), range + "\n"},
        {"fault 1 cr", "*IDN?(01)\n", id + "\r", id + "\n"},
        {"fault 1 split 1", "CLOSE(01,10,01)\n", "OK\n", "OK\n"},
        {"fault 1 split 9", "CLOSE(01,10,01)\n", "OK\n", "OK\n"},
        {"fault 1 trickle 3", "*RST(01)\n", "OK\n", "OK\n"},
        {"fault 1 late 5", "*TST?(01)\n", "PASS\n", "PASS\n"},
    };
    for (const Case& c : cases) {
        Ok(c.request);
        EXPECT_EQ(Reply(c.line), c.reply) << c.request;
        EXPECT_EQ(Reply(c.line), c.normal) << c.request << " outlived its one reply";
    }
}

TEST_F(FaultChassis, TrickleSendsOneByteEveryInterval) {
    Ok("fault 1 trickle 10");
    EXPECT_EQ(At(0), "O");
    EXPECT_EQ(At(9), "");
    EXPECT_EQ(At(10), "K");
    EXPECT_EQ(At(19), "");
    EXPECT_EQ(At(20), "\n");
    EXPECT_FALSE(chassis_.NextDeadline().has_value());
}

TEST_F(FaultChassis, SplitPausesOnceAtItsPosition) {
    Ok("fault 1 split 2 30");
    EXPECT_EQ(At(0, "*IDN?(01)\n"), "HA");
    EXPECT_EQ(At(29), "");
    EXPECT_EQ(At(30), "LVEX X16 SIMULATED CARD\n");
}

TEST_F(FaultChassis, SplitPausesTwentyMillisecondsUnlessTold) {
    Ok("fault 1 split 1");
    EXPECT_EQ(At(0), "O");
    EXPECT_EQ(At(19), "");
    EXPECT_EQ(At(20), "K\n");
}

TEST_F(FaultChassis, LateHoldsTheWholeReplyBack) {
    Ok("fault 1 late 90");
    EXPECT_EQ(At(0), "");
    EXPECT_EQ(At(89), "");
    EXPECT_EQ(At(90), "OK\n");
}

TEST_F(FaultChassis, LateAddsToTheSlotsDelay) {
    Ok("delay 1 40");
    Ok("fault 1 late 60");
    EXPECT_EQ(At(99), "");
    EXPECT_EQ(At(100), "OK\n");
}

TEST_F(FaultChassis, FloodIsSixtyFourKibibytesOfLettersOfferedOnce) {
    Ok("fault 1 flood");
    chassis_.Receive(kCommandPort, "*IDN?(01)\n", t0);
    std::vector<Output> out = chassis_.Advance(t0);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].port, kCommandPort);
    EXPECT_TRUE(out[0].lossy);
    ASSERT_EQ(out[0].bytes.size(), 65536u);
    EXPECT_EQ(out[0].bytes.substr(0, 30), "ABCDEFGHIJKLMNOPQRSTUVWXYZABCD");
    EXPECT_EQ(out[0].bytes.substr(65530), "KLMNOP");  // 65536 = 2520 * 26 + 16
    EXPECT_EQ(out[0].bytes.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(out[0].bytes, FloodBytes());
    // Normal replies are never lossy.
    chassis_.Receive(kCommandPort, "*IDN?(01)\n", t0);
    out = chassis_.Advance(t0);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FALSE(out[0].lossy);
}

TEST_F(FaultChassis, GarbageIsReproducibleFromItsSeed) {
    Ok("fault 1 garbage 16");
    EXPECT_EQ(ToHex(Reply()), "25eb8c48ff89cb854fc09081cc47edfc");  // seed 1
    Ok("fault 1 garbage 16 7");
    EXPECT_EQ(ToHex(Reply()), "afc419f643d397675cb98e1748596e2a");
    Ok("fault 1 garbage 8 7 persist");
    // A persisting fault goes on with the same stream.
    EXPECT_EQ(ToHex(Reply()), "afc419f643d39767");
    EXPECT_EQ(ToHex(Reply()), "5cb98e1748596e2a");
    Ok("fault 1 off");
    EXPECT_EQ(Reply(), "OK\n");
    chassis_.Control("fault 1 garbage 3");
    chassis_.Receive(kCommandPort, "*RST(01)\n", t0);
    const std::vector<Output> out = chassis_.Advance(t0);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].lossy);
    EXPECT_EQ(ToHex(out[0].bytes), "25eb8c");
}

TEST_F(FaultChassis, PersistKeepsAFaultUntilOff) {
    Ok("fault 1 cr persist");
    EXPECT_EQ(Reply(), "OK\r");
    EXPECT_EQ(Reply("*TST?(01)\n"), "PASS\r");
    EXPECT_NE(chassis_.Control("state").find("01 X16 id=\"HALVEX X16 SIMULATED CARD\" status=0xff "
                                             "ops=1 fault=cr:persist closed=gp:1\n"),
              std::string::npos)
        << chassis_.Control("state");
    Ok("fault 1 off");
    EXPECT_EQ(Reply(), "OK\n");
}

TEST_F(FaultChassis, SilentAfterAnswersNCommandsThenNothingUntilOff) {
    Ok("fault 1 silent-after 2");
    EXPECT_EQ(Reply("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
    EXPECT_EQ(Reply(), "OK\n");
    EXPECT_NE(chassis_.Control("state").find(" fault=silent-after:left=0 "), std::string::npos);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(Reply(), "") << i;
    // Silent, but the commands still operate the card.
    EXPECT_EQ(chassis_.Control("relays 1"), "OK gp:1 ops:6\n");
    Ok("fault 1 off");
    EXPECT_EQ(Reply("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
}

TEST_F(FaultChassis, FloodAndGarbageAnswerForAnyCardReshapingOnlyForOneThatAnswers) {
    Ok("fault 9 flood");
    EXPECT_EQ(Reply("*IDN?(09)\n").size(), 65536u);  // no card in slot 9
    Ok("fault 9 nul");
    EXPECT_EQ(Reply("*IDN?(09)\n"), "");
    EXPECT_EQ(chassis_.Control("state").find("fault="), std::string::npos) << "nul was used up";
    Ok("silent 1 1");
    Ok("fault 1 late 10");
    EXPECT_EQ(Reply(), "");
    Ok("fault 1 garbage 2");
    EXPECT_EQ(ToHex(Reply()), "25eb");
}

TEST_F(FaultChassis, ANextScriptGoesFirstAndTheFaultWaits) {
    Ok("next 1 hex:5343524950540a");
    Ok("fault 1 cr");
    EXPECT_EQ(Reply(), "SCRIPT\n");
    EXPECT_EQ(Reply(), "OK\r");
    EXPECT_EQ(Reply(), "OK\n");
}

TEST_F(FaultChassis, OnlyTheSlotsOwnCommandPortRepliesAreTouched) {
    chassis_.PlugCard(2, Model::Y48);
    Ok("fault 1 cr persist");
    EXPECT_EQ(Reply("*IDN?(02)\n"), "HALVEX Y48 SIMULATED CARD\n");
    chassis_.PlugCard(1, Model::Y48);
    chassis_.Receive(1, "PHOTO(01)\n", t0);
    EXPECT_EQ(Joined(chassis_.Advance(t0)), "\xff\n");
}

TEST_F(FaultChassis, ResetClearsEveryFault) {
    Ok("fault 1 late 50 persist");
    Ok("fault 2 silent-after 0");
    Ok("reset");
    Ok("card 1 X16");
    EXPECT_EQ(chassis_.Control("state").find("fault="), std::string::npos);
    EXPECT_EQ(Reply(), "OK\n");
}

TEST_F(FaultChassis, BadFaultRequestsAreRefusedAndChangeNothing) {
    const std::string usage =
        "ERR usage: fault SLOT off|flood|garbage N [SEED]|nul [POS]|cr|trickle MS|split POS "
        "[MS]|late MS [persist], or fault SLOT silent-after N\n";
    for (const char* request : {"fault 1",
                                "fault 1 persist",
                                "fault 1 storm",
                                "fault 1 flood 3",
                                "fault 1 garbage",
                                "fault 1 garbage 0",
                                "fault 1 garbage 65537",
                                "fault 1 garbage 4 x",
                                "fault 1 garbage 4 4294967296",
                                "fault 1 nul -1",
                                "fault 1 nul 1 2",
                                "fault 1 cr 1",
                                "fault 1 trickle",
                                "fault 1 trickle -5",
                                "fault 1 trickle 3600001",
                                "fault 1 split",
                                "fault 1 split 0",
                                "fault 1 split 3 x",
                                "fault 1 late",
                                "fault 1 late 1 2",
                                "fault 1 silent-after",
                                "fault 1 silent-after 2 persist",
                                "fault 1 off persist",
                                "fault 1 late 5 persist persist"}) {
        EXPECT_EQ(chassis_.Control(request), usage) << request;
    }
    EXPECT_EQ(chassis_.Control("fault"), "ERR missing slot\n");
    EXPECT_EQ(chassis_.Control("fault 17 flood"), "ERR bad slot (1-16)\n");
    EXPECT_EQ(chassis_.Control("state").find("fault="), std::string::npos);
    EXPECT_EQ(Reply(), "OK\n");
}

// ---- vanish and replug on the real process ----

std::string ReadLink(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Processor time the process used so far, in clock ticks (utime + stime).
long CpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::vector<std::string> fields;
    std::string field;
    for (size_t i = close + 2; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ') {
            fields.push_back(field);
            field.clear();
        } else {
            field += text[i];
        }
    }
    // After the name: state is field 3 of the whole line, utime 14 and stime 15.
    return fields.size() > 12 ? std::stol(fields[11]) + std::stol(fields[12]) : -1;
}

class PortFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/halvex-sim-vanish-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
        std::string error;
        ASSERT_TRUE(sim_.Start(
            {"--control", "0", "--link", dir_, "--card", "1:X16", "--card", "3:Y48", "--quiet"},
            &error))
            << error;
        ASSERT_TRUE(control_.Connect(sim_.controlPort()));
    }
    void TearDown() override {
        sim_.Stop();
        // Normally gone with the process; a crashed one leaves them behind.
        unlink(Link("command").c_str());
        for (int slot = 1; slot <= 16; ++slot) {
            char name[16];
            std::snprintf(name, sizeof name, "monitor-%02d", slot);
            unlink(Link(name).c_str());
        }
        rmdir(dir_.c_str());
    }
    std::string Link(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
    SimProcess sim_;
    ControlClient control_;
};

TEST_F(PortFaults, VanishHangsUpTheHolderAndTakesTheLinkUntilReplug) {
    SerialPort port;
    ASSERT_TRUE(port.Open(Link("command")));
    ASSERT_EQ(port.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
    const std::string oldPath = ReadLink(Link("command"));
    ASSERT_EQ(oldPath, sim_.commandPort());

    ASSERT_EQ(control_.Request("vanish cmd"), "OK");
    EXPECT_EQ(port.Exchange("*IDN?(01)\n"), "<write failed>");  // EIO on the held port
    struct stat st {};
    EXPECT_NE(lstat(Link("command").c_str(), &st), 0)
        << "the link goes: left behind it would name the next pty given that number";
    EXPECT_FALSE(Exists(oldPath)) << "the device node went with the pty";
    SerialPort again;
    EXPECT_FALSE(again.Open(Link("command")));
    EXPECT_EQ(control_.Request("ports").rfind("OK - /dev/pts/", 0), 0u);
    EXPECT_EQ(control_.Request("vanish cmd"), "ERR cmd has vanished already");

    // Held by us and hung up, the port must cost the simulator no processor time.
    const long before = CpuTicks(sim_.pid());
    std::this_thread::sleep_for(milliseconds(1000));
    const long used = CpuTicks(sim_.pid()) - before;
    EXPECT_GE(before, 0);
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 5) << "ticks in one second";

    const std::string reply = control_.Request("replug cmd");
    ASSERT_EQ(reply.rfind("OK /dev/pts/", 0), 0u) << reply;
    const std::string newPath = reply.substr(3);
    EXPECT_EQ(ReadLink(Link("command")), newPath);
    EXPECT_EQ(control_.Request("ports").rfind("OK " + newPath + " ", 0), 0u);
    ASSERT_TRUE(again.Open(Link("command"))) << again.lastError();
    EXPECT_EQ(again.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
    EXPECT_EQ(port.Exchange("*IDN?(01)\n"), "<write failed>") << "the old port stays dead";
    port.Close();
    EXPECT_EQ(again.Exchange("*IDN?(03)\n"), "HALVEX Y48 SIMULATED CARD\n");
    EXPECT_EQ(control_.Request("replug cmd"), "ERR cmd has not vanished");
    // Nor the fresh port once its user let go of it.
    again.Close();
    const long idleBefore = CpuTicks(sim_.pid());
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_LT(CpuTicks(sim_.pid()) - idleBefore, sysconf(_SC_CLK_TCK) / 5) << "ticks in one second";
    ASSERT_TRUE(again.Open(Link("command")));
    EXPECT_EQ(again.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
    EXPECT_TRUE(sim_.Running());
}

TEST_F(PortFaults, VanishAfterLineLetsTheLineInAndNoReplyOut) {
    SerialPort port;
    ASSERT_TRUE(port.Open(Link("command")));
    ASSERT_EQ(port.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
    ASSERT_EQ(control_.Request("vanish cmd after-line"), "OK");
    port.Purge();
    ASSERT_TRUE(port.Send("CLOSE(01,10,"));  // not a line yet
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_TRUE(Exists(sim_.commandPort()));
    ASSERT_TRUE(port.Send("07)\n*RST(01)\n"));
    EXPECT_EQ(port.ReadFor(milliseconds(300)), "");
    EXPECT_FALSE(Exists(sim_.commandPort()));
    EXPECT_FALSE(port.Send("*IDN?(01)\n"));
    // The line was received and obeyed; what followed it in the same write never was.
    std::vector<std::string> log = control_.Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "cmd " + ToHex("CLOSE(01,10,07)\n"));
    EXPECT_EQ(control_.Request("relays 1"), "OK gp:7 ops:1");

    const std::string reply = control_.Request("replug cmd");
    ASSERT_EQ(reply.rfind("OK /dev/pts/", 0), 0u) << reply;
    SerialPort fresh;
    ASSERT_TRUE(fresh.Open(Link("command")));
    EXPECT_EQ(fresh.Exchange("*RST(01)\n"), "OK\n");
    EXPECT_EQ(fresh.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n") << "disarmed by use";
}

TEST_F(PortFaults, MonitoringPortVanishesAndComesBack) {
    SerialPort monitor;
    ASSERT_TRUE(monitor.Open(Link("monitor-03")));
    ASSERT_EQ(monitor.Exchange("PHOTO(03)\n"), "\xff\n");
    ASSERT_EQ(control_.Request("vanish mon03"), "OK");
    EXPECT_EQ(monitor.Exchange("PHOTO(03)\n"), "<write failed>");
    struct stat st {};
    EXPECT_NE(lstat(Link("monitor-03").c_str(), &st), 0) << "the link went with the port";
    // The other ports carry on.
    SerialPort command;
    ASSERT_TRUE(command.Open(Link("command")));
    EXPECT_EQ(command.Exchange("*IDN?(03)\n"), "HALVEX Y48 SIMULATED CARD\n");
    const std::string reply = control_.Request("replug mon03");
    ASSERT_EQ(reply.rfind("OK /dev/pts/", 0), 0u) << reply;
    EXPECT_EQ(ReadLink(Link("monitor-03")), reply.substr(3));
    SerialPort fresh;
    ASSERT_TRUE(fresh.Open(Link("monitor-03")));
    ASSERT_EQ(control_.Request("status 3 0x5a"), "OK");
    EXPECT_EQ(fresh.Exchange("PHOTO(03)\n"), "\x5a\n");
}

TEST_F(PortFaults, ResetPlugsVanishedPortsInAndStopRemovesTheirLinks) {
    ASSERT_EQ(control_.Request("vanish mon03"), "OK");
    ASSERT_EQ(control_.Request("vanish cmd after-line"), "OK");
    ASSERT_EQ(control_.Request("reset"), "OK");
    EXPECT_EQ(control_.Request("ports").find(" - "), std::string::npos);
    ASSERT_EQ(control_.Request("card 3 Y48"), "OK");
    SerialPort monitor;
    ASSERT_TRUE(monitor.Open(Link("monitor-03")));
    EXPECT_EQ(monitor.Exchange("PHOTO(03)\n"), "\xff\n");
    SerialPort command;
    ASSERT_TRUE(command.Open(Link("command")));
    EXPECT_EQ(command.Exchange("*IDN?(03)\n"), "HALVEX Y48 SIMULATED CARD\n") << "disarmed";
    EXPECT_EQ(command.Exchange("*IDN?(03)\n"), "HALVEX Y48 SIMULATED CARD\n");

    ASSERT_EQ(control_.Request("vanish mon03"), "OK");
    monitor.Close();
    command.Close();
    EXPECT_EQ(sim_.Stop(), 0);
    struct stat st {};
    EXPECT_NE(lstat(Link("monitor-03").c_str(), &st), 0) << "a vanished port's link is ours too";
    EXPECT_NE(lstat(Link("command").c_str(), &st), 0);
}

TEST_F(PortFaults, BadPortRequestsAreRefused) {
    struct Case {
        const char* request;
        const char* reply;
    };
    for (const Case& c : {
             Case{"vanish", "ERR usage: vanish cmd|monNN [after-line]"},
             Case{"vanish mon17", "ERR usage: vanish cmd|monNN [after-line]"},
             Case{"vanish mon3", "ERR usage: vanish cmd|monNN [after-line]"},
             Case{"vanish cmd now", "ERR usage: vanish cmd|monNN [after-line]"},
             Case{"vanish cmd after-line x", "ERR usage: vanish cmd|monNN [after-line]"},
             Case{"replug", "ERR usage: replug cmd|monNN"},
             Case{"replug cmd after-line", "ERR usage: replug cmd|monNN"},
             Case{"replug mon00", "ERR usage: replug cmd|monNN"},
             Case{"replug mon16", "ERR mon16 has not vanished"},
         }) {
        EXPECT_EQ(control_.Request(c.request), c.reply) << c.request;
    }
    EXPECT_EQ(control_.Request("ports").find(" - "), std::string::npos);
}

TEST_F(PortFaults, FloodKeepsOnlyWhatThePortHoldsAndThePurgeClearsIt) {
    ASSERT_EQ(control_.Request("fault 1 flood"), "OK");
    SerialPort port;
    ASSERT_TRUE(port.Open(Link("command")));
    port.Purge();
    ASSERT_TRUE(port.Send("*IDN?(01)\n"));
    const std::string got = port.ReadFor(milliseconds(500));
    ASSERT_GT(got.size(), 255u);
    EXPECT_LE(got.size(), 65536u);
    EXPECT_EQ(got, FloodBytes().substr(0, got.size())) << "in order, without gaps";
    // Nothing more comes once the port was full: the rest was lost at once.
    EXPECT_EQ(port.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");

    // Left unread, the flood is gone with the next purge.
    ASSERT_EQ(control_.Request("fault 1 flood"), "OK");
    port.Purge();
    ASSERT_TRUE(port.Send("*IDN?(01)\n"));
    EXPECT_EQ(port.ReadAtLeast(255).substr(0, 26), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(port.Exchange("*IDN?(01)\n"), "HALVEX X16 SIMULATED CARD\n");
    EXPECT_TRUE(sim_.Running());
}

TEST_F(PortFaults, GarbageArrivesByteForByte) {
    ASSERT_EQ(control_.Request("fault 1 garbage 16 7"), "OK");
    SerialPort port;
    ASSERT_TRUE(port.Open(Link("command")));
    port.Purge();
    ASSERT_TRUE(port.Send("*RST(01)\n"));
    EXPECT_EQ(ToHex(port.ReadAtLeast(16)), "afc419f643d397675cb98e1748596e2a");
    EXPECT_EQ(port.ReadFor(milliseconds(200)), "");
}

}  // namespace
