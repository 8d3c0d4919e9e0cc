// The reply reader over a real pseudo-terminal: every reply shape and its classification.
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cards/protocol.h"
#include "support/pty_peer.h"

using halvex::ClassifyReply;
using halvex::ReadReply;
using halvex::ReadReplyWithin;
using halvex::SerialLink;
using halvex_test::PtyPeer;
using halvex_test::SleepFor;

namespace {

TEST(ClassifyReply, ErrorWordsWithOrWithoutTheirLineEnd) {
    struct Case {
        const char* text;
        int32_t code;
    };
    for (const Case& c : {Case{"CMD Error", 2}, Case{"CMD Error\n", 2}, Case{"CMD Error\r\n", 2},
                          Case{"CMD Error\r\r\n\n", 2}, Case{"Format Error", 1},
                          Case{"Format Error\r\n", 1}, Case{"Parameter Range Error", 3},
                          Case{"Parameter Range Error\n", 3}, Case{"cmd error", 0},
                          Case{"CMD Error ", 0}, Case{" CMD Error", 0}, Case{"CMD Errors\n", 0},
                          Case{"\nCMD Error", 0}, Case{"OK\n", 0}, Case{"", 0}, Case{"\r\n", 0}}) {
        EXPECT_EQ(ClassifyReply(c.text), c.code) << halvex_test::Printable(c.text);
    }
}

// One step of a scripted reply: wait, then send.
struct Step {
    int waitMs;
    std::string bytes;
};

struct Shape {
    const char* name;
    std::vector<Step> steps;
    int32_t limitMs;
    int32_t result;
    std::string reply;  // expected text up to its first NUL
    int32_t length;     // expected count of collected bytes
};

void PrintTo(const Shape& c, std::ostream* os) {
    *os << c.name;
}

class ReplyShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(ReplyShapes, AreCollectedAndClassified) {
    const Shape& s = GetParam();
    PtyPeer peer;
    peer.Respond([&](const std::string&, PtyPeer& p) {
        for (const Step& step : s.steps) {
            SleepFor(step.waitMs);
            p.Send(step.bytes);
        }
    });
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    char reply[halvex::kReplyBufferSize + 16];
    std::memset(reply, '#', sizeof(reply));
    std::strcpy(reply, "untouched");
    int32_t length = -1;
    ASSERT_TRUE(link.Write("Q\n", 2));
    EXPECT_EQ(ReadReplyWithin(link, s.limitMs, reply, &length), s.result);
    if (s.result == 4) {
        EXPECT_STREQ(reply, "untouched");
        EXPECT_EQ(length, -1);
    } else {
        EXPECT_EQ(std::string(reply), s.reply);
        EXPECT_EQ(length, s.length);
    }
    EXPECT_EQ(reply[halvex::kReplyBufferSize], '#') << "wrote past the reply buffer";
}

const std::string k300(300, 'w');

INSTANTIATE_TEST_SUITE_P(
    Table, ReplyShapes,
    ::testing::Values(
        Shape{"Ok", {{0, "OK\n"}}, 50, 0, "OK\n", 3},
        Shape{"CmdErrorWithoutLineEnd", {{0, "CMD Error"}}, 50, 2, "CMD Error", 9},
        Shape{"CmdErrorWithLineFeed", {{0, "CMD Error\n"}}, 50, 2, "CMD Error\n", 10},
        Shape{"FormatErrorCrLf", {{0, "Format Error\r\n"}}, 50, 1, "Format Error\r\n", 14},
        Shape{"FormatError", {{0, "Format Error"}}, 50, 1, "Format Error", 12},
        Shape{"RangeError", {{0, "Parameter Range Error"}}, 50, 3, "Parameter Range Error", 21},
        Shape{
            "RangeErrorLf", {{0, "Parameter Range Error\n"}}, 50, 3, "Parameter Range Error\n", 22},
        Shape{"LowerCase", {{0, "cmd error"}}, 50, 0, "cmd error", 9},
        Shape{"Silence", {}, 50, 4, "", 0},
        Shape{"TwoLinesInOneChunk", {{0, "A\nB\n"}}, 50, 0, "A\n", 2},
        Shape{"SplitInTwo", {{0, "AB"}, {15, "C\n"}}, 50, 0, "ABC\n", 4},
        Shape{"SplitEveryByte", {{0, "O"}, {5, "K"}, {5, "\n"}}, 50, 0, "OK\n", 3},
        Shape{"ErrorSplitAcrossChunks", {{0, "CMD "}, {10, "Error\n"}}, 50, 2, "CMD Error\n", 10},
        Shape{"NulBeforeLineFeed", {{0, std::string("AB\0CD\n", 6)}}, 50, 0, "AB", 6},
        Shape{"ErrorBeforeNul", {{0, std::string("CMD Error\0x\n", 12)}}, 50, 2, "CMD Error", 12},
        Shape{"PartialBeforeLimit", {{0, "AB"}, {150, "C\n"}}, 50, 0, "AB", 2},
        Shape{"FirstByteAfterLimit", {{120, "OK\n"}}, 50, 4, "", 0},
        Shape{"ManyBytesAtOnceStopAt255", {{0, k300}}, 50, 0, k300.substr(0, 255), 255},
        Shape{"LongLineInPieces",
              {{0, k300.substr(0, 200)}, {5, k300.substr(0, 100)}},
              50,
              0,
              k300.substr(0, 255),
              255},
        Shape{"LongerLimit", {{80, "LATE\n"}}, 200, 0, "LATE\n", 5}),
    [](const ::testing::TestParamInfo<Shape>& info) { return info.param.name; });

TEST(ReplyReader, AZeroOrNegativeLimitStillPollsOnce) {
    PtyPeer peer;
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    for (int32_t limit : {0, -5}) {
        peer.Send("OK\n");
        SleepFor(30);
        char reply[halvex::kReplyBufferSize];
        int32_t length = 0;
        EXPECT_EQ(ReadReplyWithin(link, limit, reply, &length), 0) << limit;
        EXPECT_STREQ(reply, "OK\n");
    }
}

TEST(ReplyReader, SilenceCostsTheWholeLimitMeasuredFromTheStart) {
    PtyPeer peer;
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadReply(link, nullptr, nullptr), 4);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(ms, 50.0);
}

TEST(ReplyReader, ExcessOfALongReplyIsPurgedByTheNextCommand) {
    PtyPeer peer;
    int replies = 0;
    peer.Respond([&](const std::string&, PtyPeer& p) {
        p.Send(++replies == 1 ? std::string(300, 'x') : std::string("OK\n"));
    });
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    char reply[halvex::kReplyBufferSize];
    int32_t length = 0;
    ASSERT_TRUE(link.Write("ONE\n", 4));
    EXPECT_EQ(ReadReply(link, reply, &length), 0);
    EXPECT_EQ(length, 255);
    SleepFor(30);
    ASSERT_TRUE(link.Write("TWO\n", 4));
    EXPECT_EQ(ReadReply(link, reply, &length), 0);
    EXPECT_STREQ(reply, "OK\n");
}

TEST(ReplyReader, NullOutPointersStillClassify) {
    PtyPeer peer;
    peer.Respond([](const std::string&, PtyPeer& p) { p.Send("Format Error\n"); });
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    ASSERT_TRUE(link.Write("Q\n", 2));
    EXPECT_EQ(ReadReply(link, nullptr, nullptr), 1);
}

TEST(ReplyReader, ClosedLinkGivesNoReply) {
    SerialLink link;
    char reply[halvex::kReplyBufferSize] = "keep";
    int32_t length = 9;
    EXPECT_EQ(ReadReply(link, reply, &length), 4);
    EXPECT_STREQ(reply, "keep");
    EXPECT_EQ(length, 9);
}

TEST(ReplyReader, ALateReplyIsDiscardedBeforeTheNextCommand) {
    // The card answers each line 30 ms after the 50 ms limit: the late reply must not be read
    // as the reply to the next command, whose own answer is prompt.
    PtyPeer peer;
    peer.Respond([](const std::string& line, PtyPeer& p) {
        if (line == "SLOW\n") {
            SleepFor(80);
            p.Send("LATE\n");
        } else {
            p.Send("FRESH\n");
        }
    });
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    char reply[256] = {};
    int32_t length = 0;
    ASSERT_TRUE(link.Write("SLOW\n", 5));
    EXPECT_EQ(ReadReply(link, reply, &length), 4);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(link.Write("NEXT\n", 5));
    const double heldMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(ReadReply(link, reply, &length), 0);
    EXPECT_STREQ(reply, "FRESH\n");
    EXPECT_GE(heldMs, halvex::kSettleGuardMs - 5.0) << "the line was not left to settle";
    // After a complete reply the next write goes out at once.
    const auto again = std::chrono::steady_clock::now();
    ASSERT_TRUE(link.Write("NEXT\n", 5));
    const double promptMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - again).count();
    EXPECT_LT(promptMs, 40.0);
    EXPECT_EQ(ReadReply(link, reply, &length), 0);
}

}  // namespace
