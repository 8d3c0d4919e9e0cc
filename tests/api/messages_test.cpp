// The message of every result code, byte for byte in code page 949.
#include <cstring>
#include <string>

#include "api/api_environment.h"

namespace halvex_test {
namespace {

// The CP949 bytes of each message, as hex.
const char* const kMessageHex[10] = {
    "bfa1b7afc4dab5e5b0a120bec6b4d5b4cfb4d92e",
    "b8edb7c9beee20c7fcbdc4c0cc20bfc3b9d9b8a3c1f620becabdc0b4cfb4d92e",
    "c1f6bff8c7cfc1f620becab4c220b8edb7c9beeebeee20c0d4b4cfb4d92e",
    "b8edb7c9beeec0c720c6c4b6f3b8dec5cdb0a120bfc3b9d9b8a3c1f620becabdc0b4cfb4d92e",
    "c4abb5e5b7ce20bacec5cd20c0c0b4e4c0cc20bef8bdc0b4cfb4d92e",
    "c5ebbdc520c6f7c6aeb8a620bfad20bcf620bef8bdc0b4cfb4d92e",
    "c5ebbdc520c6f7c6aeb8a620b4ddc0bb20bcf620bef8bdc0b4cfb4d92e",
    "c7d8b4e720bec6c0ccb5f0b8a620b0a1c1f820c4abb5e5b0a120c1b8c0e7c7cfc1f620becabdc0b4cfb4d92e",
    "c7d8b4e720bec6c0ccb5f0b8a620b0a1c1f820c4abb5e5b0a120c1a6b0f8c7cfb4c220b1e2b4c9c0cc20bec6b4d5"
    "b4cfb4d92e",
    "c1b8c0e7c7cfc1f620becab4c220bfa1b7afc4dab5e520c0d4b4cfb4d92e",
};
const size_t kMessageLength[10] = {20, 32, 30, 38, 28, 27, 29, 44, 51, 30};

std::string Message(int32_t code, int32_t size = 64) {
    char buffer[64];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(A().GetHalvexErrorInfo(code, buffer, size), 0);
    return std::string(buffer, strnlen(buffer, sizeof(buffer)));
}

TEST(Messages, EveryCodeByteForByte) {
    for (int code = 0; code <= 9; ++code) {
        const std::string text = Message(code);
        EXPECT_EQ(Hex(text), kMessageHex[code]) << "code " << code;
        EXPECT_EQ(text.size(), kMessageLength[code]) << "code " << code;
    }
}

TEST(Messages, UnknownCodesGetTheMessageForUnknownCodes) {
    for (int32_t code : {-1, 10, 100, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(Hex(Message(code)), kMessageHex[9]) << code;
    }
}

TEST(Messages, BufferSizeDecidesAllOrNothing) {
    struct Case {
        int32_t code, size;
        size_t expected;  // length delivered; 0 means an empty string
    };
    for (const Case& c : {Case{8, 51, 0}, Case{8, 52, 51}, Case{0, 20, 0}, Case{0, 21, 20},
                          Case{9, 31, 30}, Case{2, 1, 0}}) {
        char buffer[64];
        std::memset(buffer, '#', sizeof(buffer));
        EXPECT_EQ(A().GetHalvexErrorInfo(c.code, buffer, c.size), 0);
        EXPECT_EQ(strnlen(buffer, sizeof(buffer)), c.expected) << c.code << "/" << c.size;
        EXPECT_EQ(buffer[c.size], '#') << "wrote past " << c.size << " bytes";
    }
}

TEST(Messages, NullBufferOrNoSizeWritesNothing) {
    char buffer[8] = "keep";
    EXPECT_EQ(A().GetHalvexErrorInfo(4, buffer, 0), 0);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(A().GetHalvexErrorInfo(4, buffer, -5), 0);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(A().GetHalvexErrorInfo(4, nullptr, 52), 0);
}

TEST(ExportNames, BothSpellingsOfTheBuildAreFound) {
    const std::string& names = TheSetup().names;
    const char* open = names == "release" ? "_OpenHalvex@4" : "OpenHalvex";
    const char* pullUp = names == "plain" ? "OpenX48PullUpRelay" : "_OpenX48PullUpRelay@4";
    EXPECT_NE(TheLibrary().Symbol(open), nullptr) << open;
    EXPECT_NE(TheLibrary().Symbol(pullUp), nullptr) << pullUp;
    // And the other spelling is not there.
    const char* notOpen = names == "release" ? "OpenHalvex" : "_OpenHalvex@4";
    EXPECT_EQ(TheLibrary().Symbol(notOpen), nullptr) << notOpen;
    if (names == "debug") {
        EXPECT_EQ(TheLibrary().Symbol("OpenX48PullUpRelay"), nullptr);
    }
}

}  // namespace
}  // namespace halvex_test
