// The chassis logic on its own, with time passed in: parsing, timed replies and partial lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chassis.h"
#include "line_splitter.h"
#include "protocol.h"
#include "reply_queue.h"

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

}  // namespace
