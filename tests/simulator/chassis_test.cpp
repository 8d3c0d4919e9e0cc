// The chassis logic on its own, with time passed in: parsing, timed replies and partial lines.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "chassis.h"
#include "chassis_file.h"
#include "line_splitter.h"
#include "protocol.h"
#include "reply_queue.h"
#include "spy_log.h"

namespace {

using namespace halvex::sim;
using std::chrono::milliseconds;

const TimePoint t0 = TimePoint{} + std::chrono::hours(1);

std::string Joined(const std::vector<Output>& outputs, int port) {
    std::string bytes;
    for (const Output& o : outputs) {
        if (o.port == port)
            bytes += o.bytes;
    }
    return bytes;
}

TEST(WireNumber, AcceptsExactlyWhatPrintfZeroTwoDWrites) {
    struct Case {
        const char* text;
        bool ok;
        long long value;
        bool huge;
    };
    const Case cases[] = {
        {"00", true, 0, false},
        {"07", true, 7, false},
        {"10", true, 10, false},
        {"123", true, 123, false},
        {"-1", true, -1, false},
        {"-12", true, -12, false},
        {"2147483647", true, 2147483647LL, false},
        {"-2147483648", true, -2147483648LL, false},
        {"1234567890123456789", true, 1, true},
        {"7", false, 0, false},
        {"007", false, 0, false},
        {"0123", false, 0, false},
        {"-07", false, 0, false},
        {"-0", false, 0, false},
        {"-00", false, 0, false},
        {"", false, 0, false},
        {"-", false, 0, false},
        {"+05", false, 0, false},
        {"1a", false, 0, false},
        {" 05", false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        WireNumber n;
        n.value = 4242;
        ASSERT_EQ(ParseCanonicalNumber(c.text, &n), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(n.huge, c.huge);
        if (!c.huge) {
            EXPECT_EQ(n.value, c.value);
        }
    }
}

TEST(WireLine, AttributesAndParsesEachForm) {
    struct Case {
        const char* line;
        int slot;
        bool wellFormed;
        WireVerb verb;
        long long f2;
        LineSelect select;
        long long f3;
    };
    const auto None = LineSelect::None;
    const Case cases[] = {
        {"*IDN?(01)", 1, true, WireVerb::Idn, 0, None, 0},
        {"*TST?(16)", 16, true, WireVerb::Tst, 0, None, 0},
        {"*RST(09)", 9, true, WireVerb::Rst, 0, None, 0},
        {"PHOTO(03)", 3, true, WireVerb::Photo, 0, None, 0},
        {"CLOSE(02,05,07)", 2, true, WireVerb::Close, 5, None, 7},
        {"OPEN(02,-1,123)", 2, true, WireVerb::Open, -1, None, 123},
        {"CLOSE(02,05,hi)", 2, true, WireVerb::Close, 5, LineSelect::Hi, 0},
        {"OPEN(12,48,lo)", 12, true, WireVerb::Open, 48, LineSelect::Lo, 0},
        // Attributed but malformed.
        {"CLOSE(2,05,07)", 2, false, WireVerb::Close, 0, None, 0},
        {"CLOSE(0002,05,07)", 2, false, WireVerb::Close, 0, None, 0},
        {"CLOSE(02,05,07", 2, false, WireVerb::Close, 0, None, 0},
        {"CLOSE(02,05,Lo)", 2, false, WireVerb::Close, 0, None, 0},
        {"CLOSE(02,05,07))", 2, false, WireVerb::Close, 0, None, 0},
        {"CLOSE(02,(05),07)", 2, false, WireVerb::Close, 0, None, 0},
        {"CLOSE(02,,07)", 2, false, WireVerb::Close, 0, None, 0},
        {"*IDN?(02,03)", 2, false, WireVerb::Idn, 0, None, 0},
        {"*IDN?(02)\r", 2, false, WireVerb::Idn, 0, None, 0},
        {"xx(05)", 5, false, WireVerb::Idn, 0, None, 0},
        // Not attributable to any slot.
        {"", 0, false, WireVerb::Idn, 0, None, 0},
        {"*IDN?", 0, false, WireVerb::Idn, 0, None, 0},
        {"*IDN?()", 0, false, WireVerb::Idn, 0, None, 0},
        {"*IDN?(17)", 0, false, WireVerb::Idn, 0, None, 0},
        {"*IDN?(00)", 0, false, WireVerb::Idn, 0, None, 0},
        {"*IDN?(-1)", 0, false, WireVerb::Idn, 0, None, 0},
        {"*IDN?(1x)", 0, false, WireVerb::Idn, 0, None, 0},
        {"*IDN?(00001)", 0, false, WireVerb::Idn, 0, None, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        WireLine w = ParseWireLine(c.line);
        EXPECT_EQ(w.slot, c.slot);
        EXPECT_EQ(w.wellFormed, c.wellFormed);
        if (!c.wellFormed)
            continue;
        EXPECT_EQ(w.verb, c.verb);
        EXPECT_EQ(w.select, c.select);
        if (c.verb == WireVerb::Close || c.verb == WireVerb::Open) {
            EXPECT_EQ(w.field2.value, c.f2);
            if (c.select == None) {
                EXPECT_EQ(w.field3.value, c.f3);
            }
        }
    }
}

TEST(Hex, RoundTripsEveryByteAndRejectsBadText) {
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    std::string hex = ToHex(all);
    EXPECT_EQ(hex.substr(0, 8), "00010203");
    EXPECT_EQ(hex.substr(hex.size() - 4), "feff");
    std::string back;
    ASSERT_TRUE(FromHex(hex, &back));
    EXPECT_EQ(back, all);
    ASSERT_TRUE(FromHex("4F4b0A", &back));
    EXPECT_EQ(back, "OK\n");
    for (const char* bad : {"4", "4g", "0x41", "41 "}) {
        back = "unchanged";
        EXPECT_FALSE(FromHex(bad, &back)) << bad;
        EXPECT_EQ(back, "unchanged");
    }
}

TEST(ReplyQueue, WaitsHoldBackOnlyTheirOwnChannel) {
    ReplyQueue queue;
    queue.Add(0, 0, {Step::Send("a"), Step::Pause(100), Step::Send("b")}, t0);
    queue.Add(1, 0, {Step::Send("c")}, t0);
    queue.Add(16, 1, {Step::Pause(30), Step::Send("m")}, t0);

    EXPECT_EQ(Joined(queue.Advance(t0), 0), "ac");
    ASSERT_TRUE(queue.NextDeadline().has_value());
    EXPECT_EQ(*queue.NextDeadline(), t0 + milliseconds(30));
    EXPECT_EQ(Joined(queue.Advance(t0 + milliseconds(29)), 1), "");
    EXPECT_EQ(Joined(queue.Advance(t0 + milliseconds(30)), 1), "m");
    EXPECT_EQ(Joined(queue.Advance(t0 + milliseconds(99)), 0), "");
    // A late wake-up delivers what is due, and the next wait still counts from its schedule.
    EXPECT_EQ(Joined(queue.Advance(t0 + milliseconds(150)), 0), "b");
    EXPECT_FALSE(queue.NextDeadline().has_value());
}

TEST(ReplyQueue, ATrailingWaitKeepsTheChannelBusy) {
    ReplyQueue queue;
    queue.Add(3, 0, {Step::Send("x"), Step::Pause(50)}, t0);
    EXPECT_EQ(Joined(queue.Advance(t0), 0), "x");
    queue.Add(3, 0, {Step::Send("y")}, t0 + milliseconds(10));
    EXPECT_EQ(Joined(queue.Advance(t0 + milliseconds(49)), 0), "");
    EXPECT_EQ(Joined(queue.Advance(t0 + milliseconds(50)), 0), "y");
    queue.Add(3, 0, {Step::Pause(10), Step::Send("z")}, t0 + milliseconds(500));
    EXPECT_EQ(Joined(queue.Advance(t0 + milliseconds(509)), 0), "");
    EXPECT_EQ(Joined(queue.Advance(t0 + milliseconds(510)), 0), "z");
}

TEST(LineSplitter, CutsLinesAndDropsIdleOrOverlongPieces) {
    LineSplitter splitter(8);
    auto chunks = splitter.Feed("AB\nCD", t0);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].bytes, "AB\n");
    EXPECT_TRUE(chunks[0].complete);
    EXPECT_EQ(splitter.Pending(), "CD");

    chunks = splitter.Feed("E\n\n", t0 + milliseconds(10));
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].bytes, "CDE\n");
    EXPECT_EQ(chunks[1].bytes, "\n");

    chunks = splitter.Feed("0123456789", t0);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].bytes, "01234567");
    EXPECT_FALSE(chunks[0].complete);
    EXPECT_EQ(splitter.Pending(), "89");

    const milliseconds idle(500);
    EXPECT_EQ(splitter.Deadline(idle), t0 + idle);
    EXPECT_FALSE(splitter.Expire(t0 + milliseconds(499), idle).has_value());
    EXPECT_EQ(splitter.Expire(t0 + idle, idle), std::optional<std::string>("89"));
    EXPECT_EQ(splitter.Pending(), "");
    splitter.Feed("x", t0);
    EXPECT_FALSE(splitter.Deadline(milliseconds(0)).has_value());  // 0: wait forever
}

class ChassisTest : public ::testing::Test {
  protected:
    std::string Reply(int port, const std::string& line, TimePoint at = t0) {
        chassis_.Receive(port, line, at);
        return Joined(chassis_.Advance(at), port);
    }
    Chassis chassis_;
};

TEST_F(ChassisTest, DelayedRepliesOfOneSlotComeInOrder) {
    chassis_.PlugCard(1, Model::X16);
    chassis_.PlugCard(2, Model::Y48);
    chassis_.SetDelay(1, 200);
    chassis_.Receive(kCommandPort, "*TST?(01)\n*RST(01)\n*TST?(02)\n", t0);
    EXPECT_EQ(Joined(chassis_.Advance(t0), 0), "PASS\n");  // slot 2, undelayed
    EXPECT_EQ(chassis_.NextDeadline(), t0 + milliseconds(200));
    EXPECT_EQ(Joined(chassis_.Advance(t0 + milliseconds(199)), 0), "");
    EXPECT_EQ(Joined(chassis_.Advance(t0 + milliseconds(200)), 0), "PASS\n");
    // Each reply of a slot waits its own delay after the one before.
    EXPECT_EQ(Joined(chassis_.Advance(t0 + milliseconds(399)), 0), "");
    EXPECT_EQ(Joined(chassis_.Advance(t0 + milliseconds(400)), 0), "OK\n");
}

TEST_F(ChassisTest, AnAdapterHoldsRepliesForItsTimerOrAPacketOrItsEventChar) {
    chassis_.PlugCard(1, Model::X16);
    ASSERT_EQ(chassis_.Control("adapter 16"), "OK\n");
    EXPECT_EQ(Reply(kCommandPort, "CLOSE(01,01,01)\n"), "");
    EXPECT_EQ(chassis_.NextDeadline(), t0 + milliseconds(16));
    EXPECT_EQ(Joined(chassis_.Advance(t0 + milliseconds(15)), 0), "");
    EXPECT_EQ(Joined(chassis_.Advance(t0 + milliseconds(16)), 0), "OK\n");
    // 62 bytes make a packet, which goes at once; the rest waits its own timer.
    const std::string longer(70, 'A');
    chassis_.Control("idn 1 " + ToHex(longer + "\n"));
    EXPECT_EQ(Reply(kCommandPort, "*IDN?(01)\n", t0 + milliseconds(20)), longer.substr(0, 62));
    EXPECT_EQ(Joined(chassis_.Advance(t0 + milliseconds(35)), 0), "");
    EXPECT_EQ(Joined(chassis_.Advance(t0 + milliseconds(36)), 0), std::string(8, 'A') + "\n");
    ASSERT_EQ(chassis_.Control("adapter 16 event-char"), "OK\n");
    EXPECT_EQ(chassis_.Control("adapter"), "OK adapter:16:event-char\n");
    EXPECT_EQ(Reply(kCommandPort, "CLOSE(01,01,02)\n", t0 + milliseconds(40)), "OK\n");
    EXPECT_EQ(chassis_.Control("adapter 0"), "ERR usage: adapter MS|off [event-char] (MS 1-255)\n");
    ASSERT_EQ(chassis_.Control("adapter off"), "OK\n");
    EXPECT_EQ(Reply(kCommandPort, "CLOSE(01,01,03)\n", t0 + milliseconds(50)), "OK\n");
}

TEST_F(ChassisTest, IdlePartialLineIsLoggedAndForgotten) {
    chassis_.PlugCard(1, Model::X16);
    chassis_.SetLineTimeout(milliseconds(500));
    chassis_.Receive(kCommandPort, "CLOSE(01", t0);
    EXPECT_EQ(chassis_.NextDeadline(), t0 + milliseconds(500));
    EXPECT_EQ(Joined(chassis_.Advance(t0 + milliseconds(500)), 0), "");
    // The rest alone is not attributable, so nothing answers it.
    EXPECT_EQ(Reply(kCommandPort, ",05,07)\n", t0 + milliseconds(600)), "");
    std::vector<LogEntry> log = chassis_.LogSnapshot();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].bytes, "CLOSE(01");
    EXPECT_EQ(log[1].bytes, ",05,07)\n");
}

TEST_F(ChassisTest, MonitoringPortAnswersOnlyItsOwnSlot) {
    chassis_.PlugCard(4, Model::Y48);
    EXPECT_EQ(Reply(4, "PHOTO(04)\n"), "\xff\n");
    EXPECT_EQ(chassis_.Control("status 4 0x7"), "OK\n");
    EXPECT_EQ(Reply(4, "PHOTO(04)\n"), "\x07\n");
    EXPECT_EQ(Reply(5, "PHOTO(04)\n"), "");
    EXPECT_EQ(Reply(4, "PHOTO(05)\n"), "");
    EXPECT_EQ(Reply(kCommandPort, "PHOTO(04)\n"), "Format Error\n");
    chassis_.SetSilent(4, true);
    EXPECT_EQ(Reply(4, "PHOTO(04)\n"), "");
}

TEST_F(ChassisTest, ControlReplies) {
    struct Case {
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {"card 2 X16 HALVEX X16", "OK\n"},
        {"relays 2", "OK ops:0\n"},
        {"status 2 255", "OK\n"},
        {"status 2 0xff", "OK\n"},
        {"status 2 0x100", "ERR usage: status SLOT BYTE (0-255 or 0xNN)\n"},
        {"eol 2 none errors", "OK\n"},
        {"eol 2 lf everything", "ERR usage: eol SLOT lf|crlf|none [errors]\n"},
        {"range 2 gp 1 8", "OK\n"},
        {"range 2 rows 9 1", "ERR bad range\n"},
        {"range 2 legs 1 2", "ERR bad range kind\n"},
        {"next 2 wait:5 none hex:0A", "OK\n"},
        {"idn 16 -", "OK\n"},
        {"clearlog", "OK\n"},
        {"log", "OK 0\n"},
        {"log 1", "ERR usage: log\n"},
        {"remove 2", "OK\n"},
        {"relays 2", "ERR no card in slot\n"},
        {"shutdown", "ERR unknown request\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(chassis_.Control(c.request), c.reply) << c.request;
}

TEST_F(ChassisTest, LogListsPortsInArrivalOrder) {
    chassis_.Receive(2, "PHOTO(02)\n", t0);
    chassis_.Receive(kCommandPort, "A\nB", t0);
    chassis_.Receive(16, "\xff", t0);
    EXPECT_EQ(chassis_.Control("log"),
              "OK 4\nmon02 50484f544f283032290a\ncmd 410a\ncmd 42\nmon16 ff\n");
}

// Sends each command to the chassis and checks each reply, so a state test knows what it set up.
void Drive(Chassis& chassis, const std::vector<std::pair<std::string, std::string>>& steps) {
    for (const auto& [command, reply] : steps) {
        chassis.Receive(kCommandPort, command, t0);
        EXPECT_EQ(Joined(chassis.Advance(t0), kCommandPort), reply) << command;
    }
}

TEST_F(ChassisTest, StateShowsEverySlotAndWhatDiffersFromANewCard) {
    for (const char* request :
         {"card 1 X16 HALVEX X16 \"REV2\" SN0001", "card 2 X48", "card 5 Y48 HALVEX Y48",
          "range 5 gp 1 24", "range 5 extgp 1 40", "range 2 cols -3 3", "delay 2 5",
          "status 5 0xFE", "eol 1 crlf", "eol 5 none errors", "silent 2 1", "idn 9 410a",
          "photo 5 ff", "status 16 7", "next 1 hex:0a", "next 1 none"}) {
        ASSERT_EQ(chassis_.Control(request), "OK\n") << request;
    }
    // The scripts answer the first two commands in the card's place, so they operate nothing.
    Drive(chassis_, {{"CLOSE(01,05,07)\n", "\n"},
                     {"CLOSE(01,05,08)\n", ""},
                     {"CLOSE(01,10,12)\n", "OK\r\n"},
                     {"CLOSE(01,05,lo)\n", "OK\r\n"},
                     {"CLOSE(01,50,04)\n", "OK\r\n"},
                     {"CLOSE(01,16,16)\n", "OK\r\n"},
                     {"OPEN(01,16,16)\n", "OK\r\n"},
                     {"CLOSE(01,05,07)\n", "OK\r\n"},
                     {"CLOSE(05,20,32)\n", "OK\n"}});
    const std::string expected =
        "OK 16\n"
        "01 X16 id=\"HALVEX X16 \\\"REV2\\\" SN0001\" status=0xff ops=6 eol=crlf "
        "closed=matrix:5:7,row:5:lo,gp:12,ground\n"
        "02 X48 id=\"HALVEX X48 SIMULATED CARD\" status=0xff ops=0 cols=-3..3 delay=5 silent=1 "
        "closed=none\n"
        "03 empty\n04 empty\n"
        "05 Y48 id=\"HALVEX Y48\" status=0xfe ops=1 gp=1..24 ext-gp=1..40 erroreol=none "
        "photo=\"\\xff\" "
        "closed=ext-gp:32\n"
        "06 empty\n07 empty\n08 empty\n"
        "09 empty idn=\"A\\n\"\n"
        "10 empty\n11 empty\n12 empty\n13 empty\n14 empty\n15 empty\n"
        "16 empty status=0x07\n";
    EXPECT_EQ(chassis_.Control("state"), expected);
    EXPECT_EQ(chassis_.Control("state 1"), "ERR usage: state\n");
}

TEST_F(ChassisTest, OpsCountsEachRelayAndShowsItsState) {
    chassis_.PlugCard(3, Model::X16);
    Drive(chassis_, {{"CLOSE(03,12,03)\n", "OK\n"},
                     {"OPEN(03,12,03)\n", "OK\n"},
                     {"CLOSE(03,12,03)\n", "OK\n"},
                     {"CLOSE(03,02,11)\n", "OK\n"},
                     {"OPEN(03,02,lo)\n", "OK\n"},  // opening an open relay still operates it
                     {"CLOSE(03,02,hi)\n", "OK\n"},
                     {"CLOSE(03,30,01)\n", "OK\n"},
                     {"CLOSE(03,40,32)\n", "OK\n"},
                     {"CLOSE(03,20,05)\n", "OK\n"},
                     {"CLOSE(03,50,02)\n", "OK\n"},
                     {"CLOSE(03,10,09)\n", "OK\n"},
                     {"CLOSE(03,10,33)\n", "Parameter Range Error\n"},  // refused: no operation
                     {"CLOSE(03,5,01)\n", "Format Error\n"}});
    // Numeric order, matrix first, as "relays" lists them (12 after 2, not before).
    EXPECT_EQ(chassis_.Control("ops 3"),
              "OK 9\n"
              "matrix:2:11 ops:1 closed\n"
              "matrix:12:3 ops:3 closed\n"
              "row:2:hi ops:1 closed\n"
              "row:2:lo ops:1 open\n"
              "gp:9 ops:1 closed\n"
              "ext-gp:5 ops:1 closed\n"
              "ps:1 ops:1 closed\n"
              "discharge:32 ops:1 closed\n"
              "test-probe ops:1 closed\n");
    EXPECT_EQ(chassis_.Control("relays 3"),
              "OK matrix:2:11 matrix:12:3 row:2:hi gp:9 ext-gp:5 ps:1 discharge:32 test-probe "
              "ops:11\n");
    // A reset of the card opens every relay but keeps what they went through.
    Drive(chassis_, {{"*RST(03)\n", "OK\n"}});
    std::string afterReset = chassis_.Control("ops 3");
    EXPECT_EQ(afterReset.substr(0, afterReset.find('\n')), "OK 9");
    EXPECT_NE(afterReset.find("matrix:12:3 ops:3 open\n"), std::string::npos) << afterReset;
    EXPECT_EQ(afterReset.find(" closed"), std::string::npos) << afterReset;
    // A card plugged again starts from nothing.
    EXPECT_EQ(chassis_.Control("card 3 X16"), "OK\n");
    EXPECT_EQ(chassis_.Control("ops 3"), "OK 0\n");
    EXPECT_EQ(chassis_.Control("ops 4"), "ERR no card in slot\n");
    EXPECT_EQ(chassis_.Control("ops 3 1"), "ERR usage: ops SLOT\n");
}

TEST_F(ChassisTest, HelpNamesEveryRequestTheChassisKnows) {
    std::string help = chassis_.Control("help");
    ASSERT_EQ(help.rfind("OK ", 0), 0u);
    std::vector<std::string> lines;
    for (size_t start = help.find('\n') + 1; start < help.size();) {
        size_t end = help.find('\n', start);
        lines.push_back(help.substr(start, end - start));
        start = end + 1;
    }
    EXPECT_EQ(help.substr(0, help.find('\n')), "OK " + std::to_string(lines.size()));
    std::set<std::string> listed;
    for (const std::string& line : lines) {
        if (line[0] != ' ')
            listed.insert(line.substr(0, line.find(' ')));
    }
    const std::set<std::string> expected = {
        "ping", "help",   "state", "relays", "ops",    "log",      "clearlog", "reset", "restore",
        "card", "remove", "range", "delay",  "silent", "status",   "eol",      "idn",   "photo",
        "next", "fault",  "ports", "vanish", "replug", "shutdown", "adapter"};
    EXPECT_EQ(listed, expected);
    // Every listed request is one the chassis or the process really answers.
    for (const std::string& verb : listed) {
        if (verb == "ports" || verb == "shutdown" || verb == "vanish" || verb == "replug")
            continue;
        EXPECT_NE(chassis_.Control(verb), "ERR unknown request\n") << verb;
    }
    EXPECT_EQ(chassis_.Control("help me"), "ERR usage: help\n");
}

TEST_F(ChassisTest, RestoreGoesBackToTheStartUpChassis) {
    chassis_.SetBaseline({"card 2 X16 BENCH", "delay 2 40", "status 2 0x0f"});
    // Without the baseline applied yet, restore is what brings it in.
    EXPECT_EQ(chassis_.Control("restore"), "OK\n");
    Drive(chassis_, {{"CLOSE(02,01,01)\n", ""}});
    EXPECT_EQ(Joined(chassis_.Advance(t0 + milliseconds(40)), kCommandPort), "OK\n");
    EXPECT_EQ(chassis_.Control("card 2 Y48"), "OK\n");
    EXPECT_EQ(chassis_.Control("card 7 X48"), "OK\n");
    EXPECT_EQ(chassis_.Control("restore"), "OK\n");
    const std::string state = chassis_.Control("state");
    EXPECT_EQ(state.rfind("OK 16\n01 empty\n"
                          "02 X16 id=\"BENCH\" status=0x0f ops=0 delay=40 closed=none\n03 empty\n",
                          0),
              0u)
        << state;
    EXPECT_NE(state.find("\n07 empty\n"), std::string::npos) << state;
    EXPECT_EQ(chassis_.Control("relays 7"), "ERR no card in slot\n");
    EXPECT_EQ(chassis_.Control("log"), "OK 0\n");
    // reset still empties everything, baseline or not.
    EXPECT_EQ(chassis_.Control("reset"), "OK\n");
    EXPECT_EQ(chassis_.Control("relays 2"), "ERR no card in slot\n");
}

TEST(ChassisFile, AppliesEachLineAsASetUpRequest) {
    const std::string text =
        "# a bench\n"
        "\n"
        "   card 1 X16 HALVEX X16 No#3 REV2   # a '#' inside a word is no comment\n"
        "card 2 X48\r\n"
        "\tcard 3 Y48 ACME\tY48\n"
        "range 1 rows 1 8\n"
        "delay 2 5 # late\n"
        "status 3 0xFE\n"
        "eol 1 crlf\n"
        "#card 4 X16\n"
        "idn 6 414243\n"
        "card 7 X16\n"
        "remove 7";  // no line end at the very end
    Chassis chassis;
    std::vector<std::string> applied;
    std::string error;
    ASSERT_TRUE(ApplyChassisText(chassis, "bench", text, &applied, &error)) << error;
    const std::vector<std::string> expected = {"card 1 X16 HALVEX X16 No#3 REV2",
                                               "card 2 X48",
                                               "card 3 Y48 ACME\tY48",
                                               "range 1 rows 1 8",
                                               "delay 2 5",
                                               "status 3 0xFE",
                                               "eol 1 crlf",
                                               "idn 6 414243",
                                               "card 7 X16",
                                               "remove 7"};
    EXPECT_EQ(applied, expected);
    std::string state = chassis.Control("state");
    const char* const lines[] = {
        "01 X16 id=\"HALVEX X16 No#3 REV2\" status=0xff ops=0 rows=1..8 eol=crlf closed=none\n",
        "02 X48 id=\"HALVEX X48 SIMULATED CARD\" status=0xff ops=0 delay=5 closed=none\n",
        "03 Y48 id=\"ACME\\tY48\" status=0xfe ops=0 closed=none\n",
        "04 empty\n",
        "06 empty idn=\"ABC\"\n",
        "07 empty\n",
    };
    for (const char* line : lines)
        EXPECT_NE(state.find(line), std::string::npos) << line << " in\n" << state;
}

TEST(ChassisFile, StopsAtTheFirstBadLineAndNamesIt) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"card 1 X16\ncard 2 X49\ncard 3 X16\n", "f:2: bad model (X16, X48, Y48): card 2 X49"},
        {"\n\n# x\nrange 4 gp 1 8\n", "f:4: no card in slot: range 4 gp 1 8"},
        {"card 17 X16\n", "f:1: bad slot (1-16): card 17 X16"},
        {"card 1 X16\nrange 1 legs 1 2 # comment\n", "f:2: bad range kind: range 1 legs 1 2"},
        {"delay 1 -5\n", "f:1: usage: delay SLOT MS (0-3600000): delay 1 -5"},
        {"status 1 0x100\r\n", "f:1: usage: status SLOT BYTE (0-255 or 0xNN): status 1 0x100"},
        {"frobnicate 1\n", "f:1: unknown request 'frobnicate': frobnicate 1"},
        {"log\n", "f:1: 'log' is not a set-up request: log"},
        {"card 1 X16\nreset\n", "f:2: 'reset' is not a set-up request: reset"},
        {"shutdown\n", "f:1: 'shutdown' is not a set-up request: shutdown"},
        {"CARD 1 X16\n", "f:1: unknown request 'CARD': CARD 1 X16"},
        {"card#1 X16\n", "f:1: unknown request 'card#1': card#1 X16"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Chassis chassis;
        std::string error;
        std::vector<std::string> applied;
        EXPECT_FALSE(ApplyChassisText(chassis, "f", c.text, &applied, &error));
        EXPECT_EQ(error, c.error);
    }
    // Lines before the bad one were applied; the bad one and those after were not.
    Chassis chassis;
    std::string error;
    std::vector<std::string> applied;
    ASSERT_FALSE(ApplyChassisText(chassis, "f", cases[0].text, &applied, &error));
    EXPECT_EQ(applied, std::vector<std::string>{"card 1 X16"});
    EXPECT_NE(chassis.CardAt(1), nullptr);
    EXPECT_EQ(chassis.CardAt(3), nullptr);
}

TEST(ChassisFile, ShippedBenchExampleLoads) {
    Chassis chassis;
    std::vector<std::string> applied;
    std::string error;
    ASSERT_TRUE(ApplyChassisFile(chassis, HALVEX_BENCH_CHASSIS, &applied, &error)) << error;
    const struct {
        int slot;
        Model model;
    } cards[] = {{1, Model::X16}, {2, Model::X48}, {5, Model::Y48}};
    int present = 0;
    for (int slot = 1; slot <= kSlotCount; ++slot)
        present += chassis.CardAt(slot) != nullptr;
    EXPECT_EQ(present, 3);
    for (const auto& card : cards) {
        ASSERT_NE(chassis.CardAt(card.slot), nullptr) << card.slot;
        EXPECT_EQ(chassis.CardAt(card.slot)->model, card.model) << card.slot;
    }
    // A missing file names itself and the reason.
    EXPECT_FALSE(ApplyChassisFile(chassis, "/nonexistent/bench.chassis", &applied, &error));
    EXPECT_EQ(error, "/nonexistent/bench.chassis: No such file or directory");
}

TEST(SpyLog, CutsEachDirectionIntoStampedLines) {
    SpyLog log;
    log.SetLineTimeout(milliseconds(100));
    std::vector<std::string> traced;
    log.SetTrace([&traced](const std::string& entry) { traced.push_back(entry); });

    log.Record(kCommandPort, Direction::ToChassis, "*IDN?(0", t0, "10:00:00.000");
    log.Record(kCommandPort, Direction::ToChassis, "3)\nCLO", t0 + milliseconds(5), "10:00:00.005");
    log.Record(kCommandPort, Direction::ToLibrary, "HALVEX\r\n", t0 + milliseconds(6),
               "10:00:00.006");
    log.Record(5, Direction::ToLibrary, std::string("\0\xff\n", 3), t0 + milliseconds(7),
               "10:00:00.007");
    log.Record(5, Direction::ToChassis, "PHOTO(05)", t0 + milliseconds(8), "10:00:00.008");
    // Partial lines show in a snapshot with the time of their last byte, before they expire.
    std::vector<std::string> expected = {
        "10:00:00.005 cmd <- \"*IDN?(03)\\n\"",    "10:00:00.006 cmd -> \"HALVEX\\r\\n\"",
        "10:00:00.007 mon05 -> \"\\x00\\xff\\n\"", "10:00:00.005 cmd <- \"CLO\"",
        "10:00:00.008 mon05 <- \"PHOTO(05)\"",
    };
    EXPECT_EQ(log.Snapshot(), expected);
    EXPECT_EQ(traced.size(), 3u);
    EXPECT_EQ(log.NextDeadline(), t0 + milliseconds(105));

    log.Advance(t0 + milliseconds(104));
    EXPECT_EQ(traced.size(), 3u);
    log.Advance(t0 + milliseconds(105));
    EXPECT_EQ(traced.size(), 4u);
    EXPECT_EQ(log.NextDeadline(), t0 + milliseconds(108));
    // Bytes that come after the idle time start a line of their own even when Advance never
    // ran in between.
    log.Record(5, Direction::ToChassis, "\n", t0 + milliseconds(300), "10:00:00.300");
    expected = {
        "10:00:00.005 cmd <- \"*IDN?(03)\\n\"",    "10:00:00.006 cmd -> \"HALVEX\\r\\n\"",
        "10:00:00.007 mon05 -> \"\\x00\\xff\\n\"", "10:00:00.005 cmd <- \"CLO\"",
        "10:00:00.008 mon05 <- \"PHOTO(05)\"",     "10:00:00.300 mon05 <- \"\\n\"",
    };
    EXPECT_EQ(log.Snapshot(), expected);
    EXPECT_EQ(traced, expected);
    EXPECT_FALSE(log.NextDeadline().has_value());

    log.Clear();
    EXPECT_EQ(log.Snapshot(), std::vector<std::string>{});
}

}  // namespace
