// Every card command: the bytes on the wire, the result of each reply shape, the model check.
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "api/api_environment.h"

namespace halvex_test {
namespace {

// Two cards of each model, one numbered below 10 and one above.
const char* const kChassis =
    "3:X16:HALVEX X16 LOW;11:X16:HALVEX X16 HIGH;4:X48:HALVEX X48 LOW;12:X48:HALVEX X48 HIGH;"
    "5:Y48:HALVEX Y48 LOW;13:Y48:HALVEX Y48 HIGH";

struct ModelCards {
    int low, high;
};
ModelCards CardsOf(const std::string& model) {
    if (model == "X16")
        return {3, 11};
    if (model == "X48")
        return {4, 12};
    return {5, 13};
}

struct ExportCase {
    const char* name;
    std::string model;  // "any" for the device commands
    std::function<int32_t(int card)> call;
    const char* wire;  // printf format of the line sent, with the card number as its argument
};

void PrintTo(const ExportCase& c, std::ostream* os) {
    *os << c.name;
}

char gReply[HALVEX_REPLY_MAX];
int32_t gLength;

std::vector<ExportCase> AllCardExports() {
    return {
        {"SelfTestHalvex", "any", [](int c) { return A().SelfTestHalvex(c, gReply, &gLength); },
         "*TST?(%02d)\n"},
        {"QueryHalvexID", "any", [](int c) { return A().QueryHalvexID(c, gReply, &gLength); },
         "*IDN?(%02d)\n"},
        {"ResetHalvex", "any", [](int c) { return A().ResetHalvex(c); }, "*RST(%02d)\n"},
        {"CloseX16RelayMatrix", "X16", [](int c) { return A().CloseX16RelayMatrix(c, 5, 7); },
         "CLOSE(%02d,05,07)\n"},
        {"OpenX16RelayMatrix", "X16", [](int c) { return A().OpenX16RelayMatrix(c, 5, 7); },
         "OPEN(%02d,05,07)\n"},
        {"CloseX16RowHiLoMatrix", "X16", [](int c) { return A().CloseX16RowHiLoMatrix(c, 5, 0); },
         "CLOSE(%02d,05,hi)\n"},
        {"OpenX16RowHiLoMatrix", "X16", [](int c) { return A().OpenX16RowHiLoMatrix(c, 6, 1); },
         "OPEN(%02d,06,lo)\n"},
        {"CloseX16GPRelay", "X16", [](int c) { return A().CloseX16GPRelay(c, 12); },
         "CLOSE(%02d,10,12)\n"},
        {"OpenX16GPRelay", "X16", [](int c) { return A().OpenX16GPRelay(c, 12); },
         "OPEN(%02d,10,12)\n"},
        {"CloseX16ExtGPRelay", "X16", [](int c) { return A().CloseX16ExtGPRelay(c, 2); },
         "CLOSE(%02d,20,02)\n"},
        {"OpenX16ExtGPRelay", "X16", [](int c) { return A().OpenX16ExtGPRelay(c, 2); },
         "OPEN(%02d,20,02)\n"},
        {"CloseX16PsRelay", "X16", [](int c) { return A().CloseX16PsRelay(c, 4); },
         "CLOSE(%02d,30,04)\n"},
        {"OpenX16PsRelay", "X16", [](int c) { return A().OpenX16PsRelay(c, 4); },
         "OPEN(%02d,30,04)\n"},
        {"CloseX16DischargeRelay", "X16", [](int c) { return A().CloseX16DischargeRelay(c, 1); },
         "CLOSE(%02d,40,01)\n"},
        {"OpenX16DischargeRelay", "X16", [](int c) { return A().OpenX16DischargeRelay(c, 1); },
         "OPEN(%02d,40,01)\n"},
        {"CloseX16PullUpRelay", "X16", [](int c) { return A().CloseX16PullUpRelay(c); },
         "CLOSE(%02d,50,01)\n"},
        {"OpenX16PullUpRelay", "X16", [](int c) { return A().OpenX16PullUpRelay(c); },
         "OPEN(%02d,50,01)\n"},
        {"CloseX16TestProbeRelay", "X16", [](int c) { return A().CloseX16TestProbeRelay(c); },
         "CLOSE(%02d,50,02)\n"},
        {"OpenX16TestProbeRelay", "X16", [](int c) { return A().OpenX16TestProbeRelay(c); },
         "OPEN(%02d,50,02)\n"},
        {"CloseX16PullDownRelay", "X16", [](int c) { return A().CloseX16PullDownRelay(c); },
         "CLOSE(%02d,50,03)\n"},
        {"OpenX16PullDownRelay", "X16", [](int c) { return A().OpenX16PullDownRelay(c); },
         "OPEN(%02d,50,03)\n"},
        {"CloseX16GndRelay", "X16", [](int c) { return A().CloseX16GndRelay(c); },
         "CLOSE(%02d,50,04)\n"},
        {"OpenX16GndRelay", "X16", [](int c) { return A().OpenX16GndRelay(c); },
         "OPEN(%02d,50,04)\n"},
        {"CloseX48RelayMatrix", "X48", [](int c) { return A().CloseX48RelayMatrix(c, 40, 9); },
         "CLOSE(%02d,40,09)\n"},
        {"OpenX48RelayMatrix", "X48", [](int c) { return A().OpenX48RelayMatrix(c, 40, 9); },
         "OPEN(%02d,40,09)\n"},
        {"CloseX48RowHiLoMatrix", "X48", [](int c) { return A().CloseX48RowHiLoMatrix(c, 33, -1); },
         "CLOSE(%02d,33,lo)\n"},
        {"OpenX48RowHiLoMatrix", "X48", [](int c) { return A().OpenX48RowHiLoMatrix(c, 33, 0); },
         "OPEN(%02d,33,hi)\n"},
        {"CloseX48PullUpRelay", "X48", [](int c) { return A().CloseX48PullUpRelay(c); },
         "CLOSE(%02d,50,01)\n"},
        {"OpenX48PullUpRelay", "X48", [](int c) { return A().OpenX48PullUpRelay(c); },
         "OPEN(%02d,50,01)\n"},
        {"CloseX48TestProbeRelay", "X48", [](int c) { return A().CloseX48TestProbeRelay(c); },
         "CLOSE(%02d,50,02)\n"},
        {"OpenX48TestProbeRelay", "X48", [](int c) { return A().OpenX48TestProbeRelay(c); },
         "OPEN(%02d,50,02)\n"},
        {"CloseX48PullDownRelay", "X48", [](int c) { return A().CloseX48PullDownRelay(c); },
         "CLOSE(%02d,50,03)\n"},
        {"OpenX48PullDownRelay", "X48", [](int c) { return A().OpenX48PullDownRelay(c); },
         "OPEN(%02d,50,03)\n"},
        {"CloseX48GndRelay", "X48", [](int c) { return A().CloseX48GndRelay(c); },
         "CLOSE(%02d,50,04)\n"},
        {"OpenX48GndRelay", "X48", [](int c) { return A().OpenX48GndRelay(c); },
         "OPEN(%02d,50,04)\n"},
        {"CloseY48GPRelay", "Y48", [](int c) { return A().CloseY48GPRelay(c, 31); },
         "CLOSE(%02d,10,31)\n"},
        {"OpenY48GPRelay", "Y48", [](int c) { return A().OpenY48GPRelay(c, 31); },
         "OPEN(%02d,10,31)\n"},
        {"CloseY48ExtGPRelay", "Y48", [](int c) { return A().CloseY48ExtGPRelay(c, 7); },
         "CLOSE(%02d,20,07)\n"},
        {"OpenY48ExtGPRelay", "Y48", [](int c) { return A().OpenY48ExtGPRelay(c, 7); },
         "OPEN(%02d,20,07)\n"},
    };
}

std::string Line(const char* format, int card) {
    char line[64];
    std::snprintf(line, sizeof(line), format, card);
    return line;
}

// One discovery for the whole table. Each row gets a fresh simulated chassis with the same
// cards in the same slots, which is what the library registered, so it need not discover again;
// the command port stays open from row to row.
class Exports : public ApiTest, public ::testing::WithParamInterface<ExportCase> {
  protected:
    static void TearDownTestSuite() {
        A().CloseHalvex();
        discovered_ = false;
    }
    void SetUp() override {
        if (!discovered_) {
            ApiTest::SetUp();
            OpenWithNoSilentSlot(kChassis);
            discovered_ = !HasFatalFailure();
            return;
        }
        Sim().Reset();
        PlugCards(kChassis);
        Sim().ClearLog();
    }
    void TearDown() override {}
    std::vector<int> Targets() const {
        const std::string& m = GetParam().model;
        if (m != "any")
            return {CardsOf(m).low, CardsOf(m).high};
        return {3, 11, 4, 12, 5, 13};
    }

  private:
    static bool discovered_;
};

bool Exports::discovered_ = false;

TEST_P(Exports, SendsExactlyItsLineAndSucceedsOnOk) {
    for (int card : Targets()) {
        Sim().ClearLog();
        Sim().Next(card, "hex:" + Hex("OK\n"));
        EXPECT_EQ(GetParam().call(card), 0) << "card " << card;
        EXPECT_EQ(Sim().CommandLines(), std::vector<std::string>{Line(GetParam().wire, card)})
            << "card " << card;
    }
}

struct Shape {
    std::string steps;
    int32_t result;
};

TEST_P(Exports, ClassifiesEveryReplyShape) {
    // A self test waits out its whole limit for a reply without a line end: take the Y48's
    // 5 s once, for silence, and only shapes that end their line otherwise.
    const bool selfTest = std::string(GetParam().name) == "SelfTestHalvex";
    const int card = selfTest ? 5 : Targets().front();
    std::vector<Shape> shapes = {
        {"hex:" + Hex("OK\n"), 0},
        {"none", 4},
        {"hex:" + Hex("CMD Error"), 2},
        {"hex:" + Hex("CMD Error\n"), 2},
        {"hex:" + Hex("Format Error"), 1},
        {"hex:" + Hex("Format Error\r\n"), 1},
        {"hex:" + Hex("Parameter Range Error"), 3},
        {"hex:" + Hex("Parameter Range Error\n"), 3},
        {"hex:" + Hex("cmd error"), 0},
    };
    for (const Shape& s : shapes) {
        if (selfTest && s.steps != "none" && s.steps.substr(s.steps.size() - 2) != "0a")
            continue;
        Sim().Next(card, s.steps);
        EXPECT_EQ(GetParam().call(card), s.result) << s.steps;
    }
}

TEST_P(Exports, RefusesCardsOfOtherModelsWithoutSending) {
    const std::string& model = GetParam().model;
    for (const std::string other : {"X16", "X48", "Y48"}) {
        const int card = CardsOf(other).low;
        Sim().ClearLog();
        if (model == "any") {
            Sim().Next(card, "hex:" + Hex("OK\n"));
            EXPECT_EQ(GetParam().call(card), 0) << "device commands work on " << other;
        } else if (other != model) {
            EXPECT_EQ(GetParam().call(card), 8) << other;
            EXPECT_TRUE(Sim().CommandLines().empty()) << other;
        }
    }
}

TEST_P(Exports, UnknownCardNumberGivesSevenWithoutSending) {
    Sim().ClearLog();
    for (int card : {0, -1, 17, 16, INT_MAX, INT_MIN}) {
        EXPECT_EQ(GetParam().call(card), 7) << card;
    }
    EXPECT_TRUE(Sim().CommandLines().empty());
}

INSTANTIATE_TEST_SUITE_P(AllCardExports, Exports, ::testing::ValuesIn(AllCardExports()),
                         [](const ::testing::TestParamInfo<ExportCase>& info) {
                             return std::string(info.param.name);
                         });

class Commands : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        OpenWithNoSilentSlot(kChassis);
    }
    std::string Sent(std::function<int32_t()> call, int32_t expected) {
        Sim().ClearLog();
        EXPECT_EQ(call(), expected);
        const std::vector<std::string> lines = Sim().CommandLines();
        return lines.empty() ? "" : lines.front();
    }
};

TEST_F(Commands, NumbersAreFormattedWithTwoDigitsAtLeast) {
    struct Case {
        int relay;
        const char* wire;
    };
    for (const Case& c : {Case{3, "CLOSE(03,10,03)\n"}, Case{0, "CLOSE(03,10,00)\n"},
                          Case{123, "CLOSE(03,10,123)\n"}, Case{-1, "CLOSE(03,10,-1)\n"},
                          Case{INT_MIN, "CLOSE(03,10,-2147483648)\n"}}) {
        Sim().Next(3, "hex:" + Hex("OK\n"));
        EXPECT_EQ(Sent([&] { return A().CloseX16GPRelay(3, c.relay); }, 0), c.wire);
    }
}

TEST_F(Commands, ZeroSelectsHiAndAnyOtherValueLo) {
    struct Case {
        int lo;
        const char* wire;
    };
    for (const Case& c :
         {Case{0, "CLOSE(03,05,hi)\n"}, Case{1, "CLOSE(03,05,lo)\n"}, Case{-1, "CLOSE(03,05,lo)\n"},
          Case{7, "CLOSE(03,05,lo)\n"}, Case{INT_MIN, "CLOSE(03,05,lo)\n"}}) {
        Sim().Next(3, "hex:" + Hex("OK\n"));
        EXPECT_EQ(Sent([&] { return A().CloseX16RowHiLoMatrix(3, 5, c.lo); }, 0), c.wire);
    }
}

TEST_F(Commands, MatrixLineTooLongIsRefusedBeforeSending) {
    // Two ten-digit numbers make a line longer than 29 characters.
    EXPECT_EQ(Sent([] { return A().CloseX16RelayMatrix(3, INT_MIN, INT_MIN); }, 3), "");
    EXPECT_EQ(Sent([] { return A().OpenX48RelayMatrix(4, INT_MAX, -1000000000); }, 3), "");
    // One long number still fits and goes to the card, which judges its range.
    Sim().Next(4, "hex:" + Hex("Parameter Range Error\n"));
    EXPECT_EQ(Sent([] { return A().OpenX48RelayMatrix(4, INT_MIN, 1); }, 3),
              "OPEN(04,-2147483648,01)\n");
}

TEST_F(Commands, SilentCardCostsThePauseAndTheLimit) {
    // Generous lower bounds only: the X16 pauses 10 ms before its 50 ms, the X48 reset 30 ms.
    Sim().Next(3, "none");
    EXPECT_GE(MillisecondsOf([] { EXPECT_EQ(A().CloseX16RelayMatrix(3, 1, 1), 4); }), 59.0);
    Sim().Next(4, "none");
    EXPECT_GE(MillisecondsOf([] { EXPECT_EQ(A().ResetHalvex(4), 4); }), 79.0);
    Sim().Next(4, "none");
    EXPECT_GE(MillisecondsOf([] { EXPECT_EQ(A().CloseX48RelayMatrix(4, 1, 1), 4); }), 49.0);
}

TEST_F(Commands, X48MatrixTakesAReplyThatCameAtOnce) {
    Sim().Next(4, "hex:" + Hex("OK\n"));
    EXPECT_EQ(A().CloseX48RelayMatrix(4, 1, 1), 0);
    Sim().Next(4, "hex:" + Hex("CMD") + " wait:5 hex:" + Hex(" Error\n"));
    EXPECT_EQ(A().OpenX48RowHiLoMatrix(4, 1, 0), 2);
}

TEST_F(Commands, DeviceRepliesKeepTheirLineFeed) {
    Sim().Next(3, "hex:" + Hex("PASS\n"));
    std::memset(gReply, 'x', sizeof(gReply));
    gLength = -1;
    EXPECT_EQ(A().SelfTestHalvex(3, gReply, &gLength), 0);
    EXPECT_STREQ(gReply, "PASS\n");
    EXPECT_EQ(gLength, 5);
    EXPECT_EQ(A().QueryHalvexID(12, gReply, &gLength), 0);
    EXPECT_STREQ(gReply, "HALVEX X48 HIGH\n");
    EXPECT_EQ(gLength, 16);
}

TEST_F(Commands, DeviceRepliesSplitAndWithNulAreCollected) {
    Sim().Next(5, "hex:" + Hex("HAL") + " wait:15 hex:" + Hex("VEX\n"));
    EXPECT_EQ(A().QueryHalvexID(5, gReply, &gLength), 0);
    EXPECT_STREQ(gReply, "HALVEX\n");
    EXPECT_EQ(gLength, 7);
    Sim().Next(5, "hex:" + Hex(std::string("AB\0CD\n", 6)));
    EXPECT_EQ(A().QueryHalvexID(5, gReply, &gLength), 0);
    EXPECT_STREQ(gReply, "AB");
    EXPECT_EQ(gLength, 6);  // every byte up to the line feed is counted
}

TEST_F(Commands, NoReplyLeavesTheCallersBuffersAlone) {
    std::strcpy(gReply, "untouched");
    gLength = 1234;
    Sim().Next(11, "none");
    EXPECT_EQ(A().QueryHalvexID(11, gReply, &gLength), 4);
    EXPECT_STREQ(gReply, "untouched");
    EXPECT_EQ(gLength, 1234);
}

TEST_F(Commands, NullOutArgumentsStillRunTheExchange) {
    Sim().Next(3, "hex:" + Hex("CMD Error\n"));
    EXPECT_EQ(A().SelfTestHalvex(3, nullptr, &gLength), 2);
    Sim().Next(3, "hex:" + Hex("OK\n"));
    EXPECT_EQ(A().QueryHalvexID(3, gReply, nullptr), 0);
    Sim().Next(3, "hex:" + Hex("Format Error\n"));
    EXPECT_EQ(A().QueryHalvexID(3, nullptr, nullptr), 1);
    EXPECT_EQ(Sim().CommandLines(),
              (std::vector<std::string>{"*TST?(03)\n", "*IDN?(03)\n", "*IDN?(03)\n"}));
}

TEST_F(Commands, SilentY48SelfTestGivesUpAfterFiveSeconds) {
    std::strcpy(gReply, "untouched");
    Sim().Next(5, "none");
    const double ms = MillisecondsOf([] { EXPECT_EQ(A().SelfTestHalvex(5, gReply, &gLength), 4); });
    EXPECT_GE(ms, 5000.0);
    EXPECT_LT(ms, 15000.0);
    EXPECT_STREQ(gReply, "untouched");
}

TEST_F(Commands, SelfTestLimitsAreLongerOnX16AndX48) {
    // Each answer comes later than the next shorter model's limit, yet within its own.
    Sim().Next(3, "wait:5600 hex:" + Hex("PASS\n"));
    EXPECT_EQ(A().SelfTestHalvex(3, gReply, &gLength), 0);
    EXPECT_STREQ(gReply, "PASS\n");
    Sim().Next(4, "wait:15600 hex:" + Hex("PASS X48\n"));
    EXPECT_EQ(A().SelfTestHalvex(4, gReply, &gLength), 0);
    EXPECT_STREQ(gReply, "PASS X48\n");
}

TEST_F(Commands, LateRemainderNeverLeaksIntoTheNextReply) {
    Sim().Next(3, "wait:90 hex:" + Hex("STALE\n"));
    EXPECT_EQ(A().QueryHalvexID(3, gReply, &gLength), 4);
    SleepMs(80);  // the stale line is now queued on the port
    Sim().Next(3, "hex:" + Hex("FRESH\n"));
    EXPECT_EQ(A().QueryHalvexID(3, gReply, &gLength), 0);
    EXPECT_STREQ(gReply, "FRESH\n");
}

}  // namespace
}  // namespace halvex_test
