// Relay command lines: field formatting and the refusal of lines that would not fit.
#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "cards/protocol.h"

using halvex::FormatHiLoCommand;
using halvex::FormatRelayCommand;

namespace {

TEST(RelayCommand, FieldsAreAtLeastTwoDigits) {
    struct Case {
        bool close;
        int32_t card, f2, f3;
        const char* line;
    };
    for (const Case& c :
         {Case{true, 3, 5, 7, "CLOSE(03,05,07)\n"}, Case{false, 3, 5, 7, "OPEN(03,05,07)\n"},
          Case{true, 12, 10, 123, "CLOSE(12,10,123)\n"}, Case{true, 16, 50, 4, "CLOSE(16,50,04)\n"},
          Case{false, 1, 40, -1, "OPEN(01,40,-1)\n"}, Case{true, 9, 0, 0, "CLOSE(09,00,00)\n"},
          Case{true, 3, 10, INT_MIN, "CLOSE(03,10,-2147483648)\n"},
          Case{false, 3, INT_MIN, 7, "OPEN(03,-2147483648,07)\n"}}) {
        char buf[30];
        ASSERT_TRUE(FormatRelayCommand(buf, sizeof(buf), c.close, c.card, c.f2, c.f3)) << c.line;
        EXPECT_STREQ(buf, c.line);
    }
}

TEST(RelayCommand, HiForZeroLoForAnythingElse) {
    struct Case {
        bool close;
        int32_t lo;
        const char* line;
    };
    for (const Case& c : {Case{true, 0, "CLOSE(02,05,hi)\n"}, Case{true, 1, "CLOSE(02,05,lo)\n"},
                          Case{true, -1, "CLOSE(02,05,lo)\n"}, Case{false, 7, "OPEN(02,05,lo)\n"},
                          Case{false, INT_MAX, "OPEN(02,05,lo)\n"}}) {
        char buf[30];
        ASSERT_TRUE(FormatHiLoCommand(buf, sizeof(buf), c.close, 2, 5, c.lo));
        EXPECT_STREQ(buf, c.line);
    }
}

TEST(RelayCommand, LinesLongerThan29CharactersAreRefused) {
    struct Case {
        bool close;
        int32_t row, column;
        bool fits;
    };
    // CLOSE leaves 17 characters for row and column together, OPEN 18.
    for (const Case& c :
         {Case{true, 99999999, 999999999, true},      // 8 + 9
          Case{true, 999999999, 999999999, false},    // 9 + 9
          Case{false, 999999999, 999999999, true},    // 9 + 9
          Case{false, 999999999, 1000000000, false},  // 9 + 10
          Case{true, INT_MIN, INT_MIN, false}, Case{false, INT_MAX, INT_MAX, false}}) {
        char buf[40];
        std::memset(buf, '#', sizeof(buf));
        EXPECT_EQ(FormatRelayCommand(buf, 30, c.close, 16, c.row, c.column), c.fits)
            << c.row << "," << c.column;
        EXPECT_EQ(buf[30], '#') << "formatted past the buffer";
        if (c.fits) {
            EXPECT_LE(std::strlen(buf), 29u);
        }
    }
    char buf[30];
    EXPECT_TRUE(FormatHiLoCommand(buf, sizeof(buf), true, 16, INT_MIN, 1));
    EXPECT_STREQ(buf, "CLOSE(16,-2147483648,lo)\n");
}

}  // namespace
