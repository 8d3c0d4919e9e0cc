// Opening the command port, discovering the cards, listing them and closing the port.
#include <ostream>
#include <string>
#include <vector>

#include "api/api_environment.h"

namespace halvex_test {
namespace {

struct Listed {
    int card;
    std::string text;
};

std::vector<Listed> ListCards(int* countOut = nullptr) {
    CardInfo* records = nullptr;
    int32_t count = -1;
    EXPECT_EQ(A().GetHalvexSeries(&records, &count), 0);
    std::vector<Listed> out;
    if (records == nullptr) {
        ADD_FAILURE() << "GetHalvexSeries gave no array";
        return out;
    }
    for (int k = 0; k < count; ++k)
        out.push_back({records[k].cardNumber, records[k].idText});
    // Every record after the listed cards keeps its own number and an empty text.
    for (int k = count; k < 16; ++k) {
        EXPECT_EQ(records[k].cardNumber, k + 1) << "record " << k;
        EXPECT_STREQ(records[k].idText, "") << "record " << k;
    }
    ReleaseSeries(records);
    if (countOut != nullptr)
        *countOut = count;
    return out;
}

// Which model the library made of a card, told by which model's export accepts it.
std::string ModelOf(int card) {
    if (A().CloseX16PullUpRelay(card) != 8)
        return "X16";
    if (A().CloseX48PullUpRelay(card) != 8)
        return "X48";
    if (A().CloseY48GPRelay(card, 1) != 8)
        return "Y48";
    return "none";
}

struct DiscoveryCase {
    const char* name;
    int slot;
    std::string idnReply;  // raw bytes the slot answers
    bool registered;
    std::string text;   // the identification text kept
    std::string model;  // the model class made of it
};

void PrintTo(const DiscoveryCase& c, std::ostream* os) {
    *os << c.name;
}

class Discovery : public ApiTest, public ::testing::WithParamInterface<DiscoveryCase> {};

TEST_P(Discovery, RegistersWhatTheReplyNames) {
    const DiscoveryCase& c = GetParam();
    Sim().RawIdn(c.slot, c.idnReply);
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    int count = -1;
    const std::vector<Listed> cards = ListCards(&count);
    if (!c.registered) {
        EXPECT_EQ(count, 0);
        return;
    }
    ASSERT_EQ(count, 1);
    EXPECT_EQ(cards[0].card, c.slot);
    EXPECT_EQ(cards[0].text, c.text);
    EXPECT_EQ(ModelOf(c.slot), c.model);
}

const std::string k200(200, 'Z');

INSTANTIATE_TEST_SUITE_P(
    Replies, Discovery,
    ::testing::Values(
        DiscoveryCase{"Y48WithCrLf", 4, "HALVEX Y48 REV1\r\n", true, "HALVEX Y48 REV1", "Y48"},
        DiscoveryCase{"X16AndX48MakeX16", 6, "X48 BOARD WITH X16\n", true, "X48 BOARD WITH X16",
                      "X16"},
        DiscoveryCase{"X16AndY48MakeX16", 9, "Y48/X16\n", true, "Y48/X16", "X16"},
        DiscoveryCase{"X48", 16, "HALVEX X48\n", true, "HALVEX X48", "X48"},
        DiscoveryCase{"TabsAndLineEndsRemoved", 1, "HAL\tVEX\r X16\r\n", true, "HALVEX X16", "X16"},
        DiscoveryCase{"NoLineEndStillCollected", 2, "HALVEX Y48", true, "HALVEX Y48", "Y48"},
        DiscoveryCase{"ErrorWordsWithModel", 3, "CMD Error X48\n", true, "CMD Error X48", "X48"},
        DiscoveryCase{"TextUpToNul", 5, std::string("X16 A\0B\n", 8), true, "X16 A", "X16"},
        DiscoveryCase{"LongTextCutAt127", 7, "X16" + k200 + "\n", true, "X16" + k200.substr(0, 124),
                      "X16"},
        DiscoveryCase{"CmdErrorAloneIsNoCard", 8, "CMD Error\n", false, "", ""},
        DiscoveryCase{"LowerCaseIsNoModel", 10, "halvex x16\n", false, "", ""},
        DiscoveryCase{"UnknownModel", 11, "HALVEX Z99\n", false, "", ""}),
    [](const ::testing::TestParamInfo<DiscoveryCase>& info) { return info.param.name; });

TEST_F(ApiTest, EmptyChassisListsSixteenEmptyRecords) {
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    int count = -1;
    EXPECT_TRUE(ListCards(&count).empty());
    EXPECT_EQ(count, 0);
}

TEST_F(ApiTest, DiscoverySendsSixteenQueriesInSlotOrder) {
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    std::vector<std::string> expected;
    for (int n = 1; n <= 16; ++n) {
        char line[16];
        std::snprintf(line, sizeof(line), "*IDN?(%02d)\n", n);
        expected.push_back(line);
    }
    EXPECT_EQ(Sim().CommandLines(), expected);
}

TEST_F(ApiTest, CardsThreeAndSevenListedRecordByRecord) {
    Sim().Card(3, "X16", "HALVEX X16 SN0003");
    Sim().Card(7, "Y48", "HALVEX Y48 SN0007");
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    CardInfo* records = nullptr;
    int32_t count = 0;
    ASSERT_EQ(A().GetHalvexSeries(&records, &count), 0);
    ASSERT_NE(records, nullptr);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(records[0].cardNumber, 3);
    EXPECT_STREQ(records[0].idText, "HALVEX X16 SN0003");
    EXPECT_EQ(records[1].cardNumber, 7);
    EXPECT_STREQ(records[1].idText, "HALVEX Y48 SN0007");
    for (int k = 2; k < 16; ++k) {
        EXPECT_EQ(records[k].cardNumber, k + 1);
        EXPECT_STREQ(records[k].idText, "");
    }
    ReleaseSeries(records);
    EXPECT_EQ(ModelOf(3), "X16");
    EXPECT_EQ(ModelOf(7), "Y48");
}

TEST_F(ApiTest, ReplyAfterTheLimitIsNotRegistered) {
    // Slot 16 answers well past the 10 ms pause and the 50 ms limit. It is the last slot, so
    // its late bytes cannot fall into another slot's window; the next command discards them.
    Sim().Card(16, "X16", "HALVEX X16 SLOW");
    Sim().Delay(16, 150);
    Sim().Card(6, "X48", "HALVEX X48 PROMPT");
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    const std::vector<Listed> cards = ListCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].card, 6);
    SleepMs(200);  // the late identification is now queued on the port
    char reply[HALVEX_REPLY_MAX];
    int32_t length = 0;
    EXPECT_EQ(A().QueryHalvexID(6, reply, &length), 0);
    EXPECT_STREQ(reply, "HALVEX X48 PROMPT\n");
}

#if defined(_WIN32)
TEST_F(ApiTest, ComTenAndAboveOpenAsTyped) {
    // The suite's COM10 is slot 5's monitoring port: discovery's queries must arrive there.
    const std::string device = MonitorPort(5);
    ASSERT_EQ(device, "\\\\.\\COM10");
    ASSERT_EQ(A().OpenHalvex("COM10"), 0);
    EXPECT_EQ(A().CloseHalvex(), 0);
    int queries = 0;
    for (const WireLine& line : Sim().Log())
        queries += line.port == "mon05" && line.bytes.rfind("*IDN?(", 0) == 0 ? 1 : 0;
    EXPECT_EQ(queries, 16);
}
#endif

TEST_F(ApiTest, SecondDiscoveryReplacesEveryCard) {
    OpenWith("1:X16:A X16;2:X48:B X48;3:Y48:C Y48");
    ASSERT_EQ(ListCards().size(), 3u);
    Sim().Reset();
    Sim().Card(2, "Y48", "NEW Y48");
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    const std::vector<Listed> cards = ListCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].card, 2);
    EXPECT_EQ(cards[0].text, "NEW Y48");
    EXPECT_EQ(ModelOf(2), "Y48");
    EXPECT_EQ(A().ResetHalvex(1), 7);
}

TEST_F(ApiTest, OpeningTwiceClosesFirstAndDiscoversAgain) {
    OpenWith("4:X48:HALVEX X48");
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    // Sixteen queries, then slot 4 again: it answered while slot 3's reply could still come.
    const std::vector<std::string> lines = Sim().CommandLines();
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[15], "*IDN?(16)\n");
    EXPECT_EQ(lines[16], "*IDN?(04)\n");
    EXPECT_EQ(ListCards().size(), 1u);
}

TEST_F(ApiTest, FailedOpenKeepsTheCardsListed) {
    OpenWith("3:X16:HALVEX X16;7:Y48:HALVEX Y48");
    EXPECT_EQ(A().OpenHalvex("/nonexistent/port/for/halvex"), 5);
    EXPECT_EQ(A().OpenHalvex(""), 5);
    EXPECT_EQ(A().OpenHalvex(nullptr), 5);
    const std::vector<Listed> cards = ListCards();
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].card, 3);
    EXPECT_EQ(cards[1].card, 7);
}

TEST_F(ApiTest, CloseKeepsCardsAndTheirCommandsGetNoReply) {
    OpenWith("3:X16:HALVEX X16");
    EXPECT_EQ(A().CloseHalvex(), 0);
    EXPECT_EQ(A().CloseHalvex(), 0);
    ASSERT_EQ(ListCards().size(), 1u);
    EXPECT_EQ(A().CloseX16RelayMatrix(3, 1, 1), 4);
    EXPECT_TRUE(Sim().CommandLines().empty());
}

TEST_F(ApiTest, CloseBeforeAnyOpenSucceeds) {
    EXPECT_EQ(A().CloseHalvex(), 0);
}

TEST_F(ApiTest, SeriesWithNullArgumentsWritesNothing) {
    OpenWith("3:X16:HALVEX X16");
    int32_t count = 77;
    CardInfo* records = reinterpret_cast<CardInfo*>(&count);
    EXPECT_EQ(A().GetHalvexSeries(nullptr, &count), 0);
    EXPECT_EQ(count, 77);
    EXPECT_EQ(A().GetHalvexSeries(&records, nullptr), 0);
    EXPECT_EQ(records, reinterpret_cast<CardInfo*>(&count));
}

TEST_F(ApiTest, EachSeriesCallReturnsANewArray) {
    OpenWith("3:X16:HALVEX X16");
    CardInfo* first = nullptr;
    CardInfo* second = nullptr;
    int32_t count = 0;
    ASSERT_EQ(A().GetHalvexSeries(&first, &count), 0);
    ASSERT_EQ(A().GetHalvexSeries(&second, &count), 0);
    EXPECT_NE(first, second);
    first[0].cardNumber = 99;  // the caller owns each array outright
    EXPECT_EQ(second[0].cardNumber, 3);
    ReleaseSeries(first);
    ReleaseSeries(second);
}

TEST_F(ApiTest, FailedLookupLeavesTheRegistryAsItWas) {
    OpenWith("3:X16:HALVEX X16;7:Y48:HALVEX Y48");
    for (int card : {0, -1, 17, 5, 2147483647, -2147483647 - 1}) {
        EXPECT_EQ(A().ResetHalvex(card), 7) << card;
    }
    EXPECT_EQ(ListCards().size(), 2u);
    EXPECT_TRUE(Sim().CommandLines().empty());
}

TEST_F(ApiTest, CardExportsOnAnEmptyChassisFindNoCard) {
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    EXPECT_EQ(A().ResetHalvex(1), 7);
    EXPECT_EQ(A().CloseX16GPRelay(1, 1), 7);
    EXPECT_EQ(A().EndY48SignalMonitoring(1), 7);
}

}  // namespace
}  // namespace halvex_test
