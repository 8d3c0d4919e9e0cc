// Faults on the wire: the chassis misbehaves, the library keeps its promises.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "api/api_environment.h"

namespace halvex_test {
namespace {

const char* const kChassis =
    "3:X16:HALVEX X16 FAULTS;4:X48:HALVEX X48 FAULTS;5:Y48:HALVEX Y48 FAULTS";
// Every call must end within its own limit plus this much.
const double kMarginMs = 1000.0;
// Sixteen slots of pause and reply limit: the longest a discovery may take before the margin.
// Every slot's window, and the settling after each silent one but the last.
const double kDiscoveryLimitMs = 16 * 60.0 + 15 * 80.0;

std::string IdOf(int card) {
    return card == 3 ? "HALVEX X16 FAULTS" : card == 4 ? "HALVEX X48 FAULTS" : "HALVEX Y48 FAULTS";
}

// The simulator's flood: the alphabet over and over, no line end.
std::string Flood(size_t count) {
    std::string bytes;
    for (size_t i = 0; i < count; ++i)
        bytes += static_cast<char>('A' + i % 26);
    return bytes;
}

// The simulator's garbage: the low byte of each number std::mt19937 draws from the seed.
std::string Garbage(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes;
    for (size_t i = 0; i < count; ++i)
        bytes += static_cast<char>(random() & 0xFF);
    return bytes;
}

// What the library makes of bytes that all arrived at once: up to the first line feed, at most
// 255 of them; the text ends at the first NUL, the length counts every byte taken.
struct Taken {
    std::string text;
    int32_t length;
};
Taken TakeLine(const std::string& bytes) {
    const size_t lf = bytes.find('\n');
    size_t n = lf == std::string::npos ? bytes.size() : lf + 1;
    if (n > 255)
        n = 255;
    const std::string line = bytes.substr(0, n);
    return {line.substr(0, line.find('\0')), static_cast<int32_t>(n)};
}

int gInjected = 0;  // faults set up in this run, reported at the end

void Inject(int slot, const std::string& mode) {
    Sim().Fault(slot, mode);
    ++gInjected;
}

void Vanish(const std::string& port, bool afterLine = false) {
    Sim().Vanish(port, afterLine);
    ++gInjected;
}

char gReply[HALVEX_REPLY_MAX];
int32_t gLength;
const char kUntouched[] = "untouched";
const int32_t kUntouchedLength = 1234;

void MarkReplyBuffers() {
    std::memset(gReply, 'x', sizeof(gReply));
    std::strcpy(gReply, kUntouched);
    gLength = kUntouchedLength;
}

// One exported call a fault is tried on.
struct Call {
    const char* name;
    int card;
    double limitMs;  // its pause plus its reply limit
    bool hasReply;   // it writes gReply and gLength
    std::function<int32_t()> run;
};

const Call kX16Ok{"CloseX16GPRelay_3_1", 3, 60, false, [] { return A().CloseX16GPRelay(3, 1); }};
// Relay 99 is beyond the card's 32: the card answers "Parameter Range Error\n".
const Call kX16Range{"CloseX16GPRelay_3_99", 3, 60, false,
                     [] { return A().CloseX16GPRelay(3, 99); }};
const Call kX48Ok{"CloseX48RelayMatrix_4_1_1", 4, 50, false,
                  [] { return A().CloseX48RelayMatrix(4, 1, 1); }};
const Call kX48Range{"CloseX48RelayMatrix_4_49_1", 4, 50, false,
                     [] { return A().CloseX48RelayMatrix(4, 49, 1); }};
const Call kX48Reset{"ResetHalvex_4", 4, 80, false, [] { return A().ResetHalvex(4); }};
const Call kY48Ok{"CloseY48GPRelay_5_1", 5, 60, false, [] { return A().CloseY48GPRelay(5, 1); }};
const Call kQueryX16{"QueryHalvexID_3", 3, 60, true,
                     [] { return A().QueryHalvexID(3, gReply, &gLength); }};
const Call kSelfTestY48{"SelfTestHalvex_5", 5, 5010, true,
                        [] { return A().SelfTestHalvex(5, gReply, &gLength); }};

// The next exchanges on the link are clean: no byte of the fault leaks into them.
void ExpectCleanLink(int card) {
    char reply[HALVEX_REPLY_MAX];
    std::memset(reply, 0, sizeof(reply));
    int32_t length = -1;
    EXPECT_EQ(A().QueryHalvexID(card, reply, &length), 0) << "card " << card;
    EXPECT_EQ(std::string(reply), IdOf(card) + "\n") << "card " << card;
    EXPECT_EQ(length, static_cast<int32_t>(IdOf(card).size() + 1)) << "card " << card;
    EXPECT_EQ(A().ResetHalvex(card), 0) << "card " << card;
}

class Faults : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        OpenWithNoSilentSlot(kChassis);
    }
    static void TearDownTestSuite() {
        std::printf("[ faults   ] %d faults injected\n", gInjected);
        std::fflush(stdout);
    }
};

// One row of the fault table. Case() names the fault, the call and its result; the setters name
// whatever else the row expects, and what no setter names has no bound or no reply to compare.
struct Row {
    const char* name;
    std::string fault;  // the mode and arguments of "fault CARD ..."
    Call call;
    int32_t result;
    double atLeastMs = 0;  // the call had to wait out its reply limit (0: no lower bound)
    double tailMs = 0;     // the card's last byte is due this long after the call began
    // For calls with a reply: the text and length expected (a 4 expects both untouched).
    std::string reply;
    int32_t length = 0;
    bool prefixOnly = false;  // the reply is a part of `reply` that came within the limit
    double atMostMs = 0;      // a tighter upper bound than limit + margin (0: none)

    Row& WaitsAtLeast(double ms) {
        atLeastMs = ms;
        return *this;
    }
    Row& LastByteAfter(double ms) {
        tailMs = ms;
        return *this;
    }
    Row& Replies(std::string text, int32_t bytes) {
        reply = std::move(text);
        length = bytes;
        return *this;
    }
    Row& RepliesPartOf(std::string text) {
        reply = std::move(text);
        prefixOnly = true;
        return *this;
    }
    Row& ReturnsWithin(double ms) {
        atMostMs = ms;
        return *this;
    }
};

Row Case(const char* name, std::string fault, const Call& call, int32_t result) {
    Row row{};
    row.name = name;
    row.fault = std::move(fault);
    row.call = call;
    row.result = result;
    return row;
}

const std::string kId3 = "HALVEX X16 FAULTS";
const Taken kGarbage7 = TakeLine(Garbage(4096, 7));

std::vector<Row> AllFaultRows() {
    return {
        // 255 characters fill the line: 0 at once, the rest of the flood left for the purge.
        Case("FloodQuery", "flood", kQueryX16, 0).Replies(Flood(255), 255),
        Case("FloodX48Matrix", "flood", kX48Ok, 0),
        Case("FloodY48SelfTest", "flood", kSelfTestY48, 0)
            .Replies(Flood(255), 255)
            .ReturnsWithin(2500),
        // Random bytes are no error text: 0. One byte without a line end waits out the limit.
        Case("GarbageOneByte", "garbage 1", kX16Ok, 0).WaitsAtLeast(50),
        Case("GarbageQuery", "garbage 4096 7", kQueryX16, 0)
            .Replies(kGarbage7.text, kGarbage7.length),
        Case("GarbageFullPort", "garbage 65536 3", kX48Range, 0),
        // The text ends at the first NUL: before the error text it hides it, after it not.
        Case("NulBeforeRangeError", "nul", kX16Range, 0),
        Case("NulAfterRangeError", "nul 21", kX16Range, 3),
        Case("NulInOk", "nul 2", kX48Ok, 0),
        Case("NulQuery", "nul 6", kQueryX16, 0).Replies("HALVEX", 19),
        // No line feed: the limit ends the wait; trailing carriage returns are not compared.
        Case("CrRangeError", "cr", kX16Range, 3).WaitsAtLeast(50),
        Case("CrX48RangeError", "cr", kX48Range, 3).WaitsAtLeast(50),
        Case("CrQuery", "cr", kQueryX16, 0).WaitsAtLeast(50).Replies(kId3 + "\r", 18),
        Case("CrY48SelfTest", "cr", kSelfTestY48, 0).WaitsAtLeast(5000).Replies("PASS\r", 5),
        // Slow bytes are collected while the limit lasts; a cut error text is no error.
        Case("TrickleQuery", "trickle 1", kQueryX16, 0).LastByteAfter(17).Replies(kId3 + "\n", 18),
        Case("TrickleX48RangeError", "trickle 1", kX48Range, 3).LastByteAfter(21),
        Case("TrickleTooSlowRangeError", "trickle 20", kX16Range, 0)
            .WaitsAtLeast(50)
            .LastByteAfter(420),
        Case("TrickleTooSlowQuery", "trickle 20", kQueryX16, 0)
            .WaitsAtLeast(50)
            .LastByteAfter(340)
            .RepliesPartOf(kId3 + "\n"),
        Case("SplitPauseTooLong", "split 5 200", kX16Range, 0).WaitsAtLeast(50).LastByteAfter(200),
        // Just within and just beyond the limit; a late reply is purged by the next command.
        Case("LateWithinX16", "late 35", kX16Ok, 0).LastByteAfter(35),
        Case("LateBeyondX16", "late 100", kX16Ok, 4).WaitsAtLeast(50).LastByteAfter(100),
        Case("LateWithinX48Matrix", "late 25", kX48Ok, 0).LastByteAfter(25),
        Case("LateBeyondX48Matrix", "late 90", kX48Ok, 4).WaitsAtLeast(50).LastByteAfter(90),
        Case("LateWithinX48Reset", "late 55", kX48Reset, 0).LastByteAfter(55),
        Case("LateBeyondX48Reset", "late 130", kX48Reset, 4).WaitsAtLeast(80).LastByteAfter(130),
        Case("LateWithinQuery", "late 35", kQueryX16, 0).LastByteAfter(35).Replies(kId3 + "\n", 18),
        Case("LateBeyondQuery", "late 100", kQueryX16, 4).WaitsAtLeast(50).LastByteAfter(100),
        Case("LateWithinY48SelfTest", "late 4500", kSelfTestY48, 0)
            .LastByteAfter(4500)
            .Replies("PASS\n", 5),
        Case("LateBeyondY48SelfTest", "late 5700", kSelfTestY48, 4)
            .WaitsAtLeast(5000)
            .LastByteAfter(5700),
    };
}

// One discovery for the whole table: each row leaves the link clean for the next, or fails.
TEST_F(Faults, EveryModeGivesItsCodeWithinItsLimitAndLeavesTheLinkClean) {
    for (const Row& row : AllFaultRows()) {
        SCOPED_TRACE(std::string(row.name) + ": fault " + row.fault + " on " + row.call.name);
        const Call& call = row.call;
        Inject(call.card, row.fault);
        MarkReplyBuffers();
        int32_t result = -1;
        const auto start = std::chrono::steady_clock::now();
        const double ms = MillisecondsOf([&] { result = call.run(); });
        EXPECT_EQ(result, row.result);
        EXPECT_LT(ms, call.limitMs + kMarginMs);
        if (row.atLeastMs > 0) {
            EXPECT_GE(ms, row.atLeastMs) << "returned before its limit was out";
        }
        if (row.atMostMs > 0) {
            EXPECT_LT(ms, row.atMostMs) << "waited for a line end that never comes";
        }
        if (call.hasReply && row.result == 4) {
            EXPECT_STREQ(gReply, kUntouched);
            EXPECT_EQ(gLength, kUntouchedLength);
        } else if (call.hasReply && row.prefixOnly) {
            const std::string got(gReply);
            EXPECT_FALSE(got.empty());
            EXPECT_LT(got.size(), row.reply.size()) << got;
            EXPECT_EQ(row.reply.compare(0, got.size(), got), 0) << got;
            EXPECT_EQ(gLength, static_cast<int32_t>(got.size()));
        } else if (call.hasReply) {
            EXPECT_EQ(std::string(gReply), row.reply);
            EXPECT_EQ(gLength, row.length);
        }
        // Let the card finish, so whatever it still sends waits on the port for the next purge.
        const double waited =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        if (row.tailMs + 50 > waited)
            SleepMs(static_cast<int>(row.tailMs + 50 - waited));
        ExpectCleanLink(call.card);
    }
}

TEST_F(Faults, SplitAtEveryPositionStillCompletesTheLine) {
    // A 15 ms pause anywhere in the line fits the 50 ms limit, with or without the 10 ms pause.
    const std::string range = "Parameter Range Error\n";
    for (size_t at = 1; at < range.size(); ++at) {
        Inject(3, "split " + std::to_string(at) + " 15");
        EXPECT_EQ(A().CloseX16GPRelay(3, 99), 3) << "X16 split at " << at;
        Inject(4, "split " + std::to_string(at) + " 15");
        EXPECT_EQ(A().CloseX48RelayMatrix(4, 49, 1), 3) << "X48 split at " << at;
    }
    const std::string id = IdOf(3) + "\n";
    for (size_t at = 1; at < id.size(); ++at) {
        Inject(3, "split " + std::to_string(at) + " 15");
        MarkReplyBuffers();
        EXPECT_EQ(A().QueryHalvexID(3, gReply, &gLength), 0) << "split at " << at;
        EXPECT_EQ(std::string(gReply), id) << "split at " << at;
        EXPECT_EQ(gLength, static_cast<int32_t>(id.size())) << "split at " << at;
    }
    ExpectCleanLink(3);
    ExpectCleanLink(4);
}

TEST_F(Faults, FirstByteAloneAfterThePauseStaysFirstAndTheRestFollowsInOrder) {
    // The first byte comes while the reader waits with nothing queued, alone; the rest later,
    // never, or too late. Timings count from the command's arrival; the reader starts 10 ms on.
    struct Case {
        const char* name;
        std::string steps;
        int32_t result;
        std::string reply;
        double atLeastMs;  // the call had to wait out its limit (0: no lower bound)
        double tailMs;     // the script's last byte is due this long after the call began
    };
    const std::string rest = "ALVEX X16 FAULTS\n";
    const std::vector<Case> cases = {
        {"RestWithinTheLimit", "wait:25 hex:" + Hex("H") + " wait:15 hex:" + Hex(rest), 0,
         "H" + rest, 0, 40},
        {"RestAnErrorTextWithoutLineEnd",
         "wait:25 hex:" + Hex("P") + " wait:10 hex:" + Hex("arameter Range Error"), 3,
         "Parameter Range Error", 50, 35},
        {"NoRest", "wait:25 hex:" + Hex("H"), 0, "H", 50, 25},
        {"RestAfterTheLimit", "wait:50 hex:" + Hex("H") + " wait:40 hex:" + Hex(rest), 0, "H", 50,
         90},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sim().Next(3, c.steps);
        MarkReplyBuffers();
        int32_t result = -1;
        const double ms = MillisecondsOf([&] { result = A().QueryHalvexID(3, gReply, &gLength); });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(std::string(gReply), c.reply);
        EXPECT_EQ(gLength, static_cast<int32_t>(c.reply.size()));
        if (c.atLeastMs > 0) {
            EXPECT_GE(ms, c.atLeastMs) << "returned before its limit was out";
        }
        EXPECT_LT(ms, 60 + kMarginMs);
        if (c.tailMs + 50 > ms)
            SleepMs(static_cast<int>(c.tailMs + 50 - ms));
        ExpectCleanLink(3);  // a remainder that came too late is purged, not taken as a reply
    }
}

TEST_F(Faults, SilentAfterTwoRepliesCostsTheLimitEachTimeAndSparesOtherCards) {
    Inject(3, "silent-after 2");
    EXPECT_EQ(A().CloseX16GPRelay(3, 1), 0);
    MarkReplyBuffers();
    EXPECT_EQ(A().QueryHalvexID(3, gReply, &gLength), 0);
    EXPECT_EQ(std::string(gReply), IdOf(3) + "\n");
    for (int i = 0; i < 3; ++i) {
        int32_t result = -1;
        const double ms = MillisecondsOf([&] { result = A().CloseX16GPRelay(3, 2); });
        EXPECT_EQ(result, 4) << i;
        EXPECT_GE(ms, 50.0) << i;
        EXPECT_LT(ms, 60 + kMarginMs) << i;
        MarkReplyBuffers();
        EXPECT_EQ(A().QueryHalvexID(3, gReply, &gLength), 4) << i;
        EXPECT_STREQ(gReply, kUntouched);
        ExpectCleanLink(5);
    }
    Sim().Fault(3, "off");
    ExpectCleanLink(3);
}

TEST_F(Faults, PersistingFaultHitsEveryCommandUntilOff) {
    Inject(4, "late 90 persist");
    for (int i = 0; i < 3; ++i) {
        int32_t result = -1;
        const double ms = MillisecondsOf([&] { result = A().CloseX48RelayMatrix(4, 2, i + 1); });
        EXPECT_EQ(result, 4) << i;
        EXPECT_GE(ms, 50.0) << i;
        EXPECT_LT(ms, 50 + kMarginMs) << i;
        SleepMs(100);  // each late "OK\n" lands on the port before the next command
    }
    Sim().Fault(4, "off");
    ExpectCleanLink(4);
}

// ---- discovery ----

void ExpectCards(const std::vector<int>& expected) {
    CardInfo* records = nullptr;
    int32_t count = -1;
    ASSERT_EQ(A().GetHalvexSeries(&records, &count), 0);
    ASSERT_NE(records, nullptr);
    std::vector<int> numbers;
    for (int32_t i = 0; i < count; ++i) {
        numbers.push_back(records[i].cardNumber);
        EXPECT_EQ(std::string(records[i].idText), IdOf(records[i].cardNumber));
    }
    ReleaseSeries(records);
    EXPECT_EQ(numbers, expected);
}

TEST_F(Faults, DiscoverySkipsAFloodingOrGarbledSlotAndFindsTheRest) {
    for (const std::string fault : {"flood", "garbage 300 11"}) {
        Inject(4, fault);
        int32_t result = -1;
        const double ms =
            MillisecondsOf([&] { result = A().OpenHalvex(TheSetup().commandPort.c_str()); });
        EXPECT_EQ(result, 0) << fault;
        EXPECT_LT(ms, kDiscoveryLimitMs + kMarginMs) << fault;
        ExpectCards({3, 5});
        EXPECT_EQ(A().ResetHalvex(4), 7) << fault;
        ExpectCleanLink(3);
        ExpectCleanLink(5);
    }
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    ExpectCards({3, 4, 5});
}

// ---- the command port vanishes ----

// Each call on a port that hung up: no reply, within its limit.
void ExpectEveryCallGivesFour() {
    for (const Call& call : {kQueryX16, kX16Ok, kX48Ok, kX48Reset, kY48Ok}) {
        MarkReplyBuffers();
        int32_t result = -1;
        const double ms = MillisecondsOf([&] { result = call.run(); });
        EXPECT_EQ(result, 4) << call.name;
        EXPECT_LT(ms, call.limitMs + kMarginMs) << call.name;
        if (call.hasReply) {
            EXPECT_STREQ(gReply, kUntouched) << call.name;
            EXPECT_EQ(gLength, kUntouchedLength) << call.name;
        }
    }
}

TEST_F(Faults, UnplugCloseReplugAndReopenFindsTheCardsAgain) {
    Vanish("cmd");
    ExpectEveryCallGivesFour();
    ExpectCards({3, 4, 5});  // the list outlives the port
    EXPECT_EQ(A().CloseHalvex(), 0);
    EXPECT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 5) << "the port is gone";
    Sim().Replug("cmd");
    int32_t result = -1;
    const double ms =
        MillisecondsOf([&] { result = A().OpenHalvex(TheSetup().commandPort.c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_LT(ms, kDiscoveryLimitMs + kMarginMs);
    ExpectCards({3, 4, 5});
    ExpectCleanLink(3);
    ExpectCleanLink(4);
    ExpectCleanLink(5);
}

TEST_F(Faults, HeldPortStaysDeadAfterReplugUntilReopened) {
    Vanish("cmd");
    Sim().Replug("cmd");
    // The library still holds the hung-up port: it does not reopen by itself.
    ExpectEveryCallGivesFour();
    EXPECT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    ExpectCards({3, 4, 5});
    ExpectCleanLink(3);
}

TEST_F(Faults, PortVanishingMidExchangeGivesFourAndRecovers) {
    Vanish("cmd", true);
    int32_t result = -1;
    const double ms = MillisecondsOf([&] { result = A().CloseX16GPRelay(3, 7); });
    EXPECT_EQ(result, 4);
    EXPECT_GE(ms, 50.0);
    EXPECT_LT(ms, 60 + kMarginMs);
    EXPECT_EQ(Sim().Request("relays 3"), "OK gp:7 ops:1") << "the command reached the card";
    ExpectEveryCallGivesFour();
    EXPECT_EQ(A().CloseHalvex(), 0);
    Sim().Replug("cmd");
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    ExpectCards({3, 4, 5});
    ExpectCleanLink(3);
}

TEST_F(Faults, PortVanishingDuringDiscoveryLeavesNoCards) {
    Vanish("cmd", true);
    int32_t result = -1;
    const double ms =
        MillisecondsOf([&] { result = A().OpenHalvex(TheSetup().commandPort.c_str()); });
    // The port opened, so discovery ran; every slot after the first line stayed silent.
    EXPECT_EQ(result, 0);
    EXPECT_LT(ms, kDiscoveryLimitMs + kMarginMs);
    ExpectCards({});
    EXPECT_EQ(A().CloseHalvex(), 0);
    Sim().Replug("cmd");
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    ExpectCards({3, 4, 5});
}

// ---- a monitoring port vanishes ----

std::atomic<int> gReadings{0};
std::atomic<int> gLastState{-1};  // state of channel 1 in the last reading

void HALVEX_CALLBACK Count(SignalStatus* status, int32_t count) {
    if (count == 8)
        gLastState = status[0].state;
    ++gReadings;
}

bool WaitForReadingsAbove(int count) {
    for (int i = 0; i < 300; ++i) {
        if (gReadings.load() > count)
            return true;
        SleepMs(10);
    }
    return false;
}

class FaultsOnMonitors : public Faults {
  protected:
    void SetUp() override {
        Faults::SetUp();
        gReadings = 0;
    }
    void TearDown() override {
        A().EndX16SignalMonitoring(3);
        A().EndY48SignalMonitoring(5);
        Faults::TearDown();
    }
};

TEST_F(FaultsOnMonitors, VanishedPortDeliversNothingEndReturnsAndReplugServesANewBegin) {
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, MonitorPort(3).c_str(), 0.02, &Count), 0);
    ASSERT_TRUE(WaitForReadingsAbove(1));
    Vanish("mon03");
    SleepMs(100);  // a reading under way may still finish
    const int atVanish = gReadings.load();
    SleepMs(400);
    EXPECT_EQ(gReadings.load(), atVanish) << "a callback without a reply";
    ExpectCleanLink(3);  // the command port is another port
    int32_t result = -1;
    const double ms = MillisecondsOf([&] { result = A().EndX16SignalMonitoring(3); });
    // Closing a hung-up port still succeeds.
    EXPECT_EQ(result, 0);
    EXPECT_LT(ms, 2000.0);

    int32_t value = -1;
    EXPECT_EQ(A().GetX16SignalMonitoringData(3, MonitorPort(3).c_str(), &value), 5);
    EXPECT_EQ(A().BeginX16SignalMonitoring(3, MonitorPort(3).c_str(), 0.02, &Count), 5);
    EXPECT_EQ(value, -1);

    Sim().Replug("mon03");
    Sim().Status(3, 0xFE);
    const int before = gReadings.load();
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, MonitorPort(3).c_str(), 0.02, &Count), 0);
    EXPECT_TRUE(WaitForReadingsAbove(before + 1));
    EXPECT_EQ(A().EndX16SignalMonitoring(3), 0);
    EXPECT_EQ(gLastState.load(), 1);
    EXPECT_EQ(A().GetX16SignalMonitoringData(3, MonitorPort(3).c_str(), &value), 0);
    EXPECT_EQ(value, 0xFE);
}

TEST_F(FaultsOnMonitors, PortVanishingOnAPollStopsTheReadings) {
    ASSERT_EQ(A().BeginY48SignalMonitoring(5, MonitorPort(5).c_str(), 0.02, &Count), 0);
    ASSERT_TRUE(WaitForReadingsAbove(1));
    Vanish("mon05", true);  // the next PHOTO line takes the port with it
    SleepMs(100);
    const int atVanish = gReadings.load();
    SleepMs(400);
    EXPECT_EQ(gReadings.load(), atVanish);
    EXPECT_LT(MillisecondsOf([] { EXPECT_EQ(A().EndY48SignalMonitoring(5), 0); }), 2000.0);
    Sim().Replug("mon05");
    const int before = gReadings.load();
    ASSERT_EQ(A().BeginY48SignalMonitoring(5, MonitorPort(5).c_str(), 0.02, &Count), 0);
    EXPECT_TRUE(WaitForReadingsAbove(before + 1));
    EXPECT_EQ(A().EndY48SignalMonitoring(5), 0);
}

}  // namespace
}  // namespace halvex_test
