// Card objects, the registry and the export frame, with the command port on a real pty.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "driver/controller.h"
#include "driver/export_frame.h"
#include "cards/protocol.h"
#include "support/pty_peer.h"

using namespace halvex;
using halvex_test::PtyPeer;
using halvex_test::SleepFor;

namespace {

TEST(Cards, IdTextIsKeptToAt127Characters) {
    const std::string longText(300, 'T');
    CHalvexX16Card card(3, longText.c_str());
    EXPECT_EQ(std::strlen(card.GetIdText()), 127u);
    EXPECT_EQ(card.GetCardNumber(), 3);
    CHalvexY48Card nullText(4, nullptr);
    EXPECT_STREQ(nullText.GetIdText(), "");
}

TEST(Cards, IdentificationTextLosesTabsAndLineEndsAndStopsAtNul) {
    struct Case {
        std::string reply;
        const char* text;
    };
    for (const Case& c : {Case{"HALVEX X16\r\n", "HALVEX X16"}, Case{"\tA\tB\r\nC\n", "ABC"},
                          Case{std::string("X48\0junk", 8), "X48"}, Case{"\r\n", ""}}) {
        char idText[kIdTextSize];
        ExtractIdText(c.reply.c_str(), idText, sizeof(idText));
        EXPECT_STREQ(idText, c.text);
    }
    char small[8];
    std::memset(small, '#', sizeof(small));
    ExtractIdText("0123456789", small, 4);
    EXPECT_STREQ(small, "012");
    EXPECT_EQ(small[4], '#');
}

TEST(Cards, FactoryPicksTheFirstDesignatorInOrder) {
    struct Case {
        const char* text;
        const char* model;
    };
    for (const Case& c :
         {Case{"X16", "X16"}, Case{"Y48 X48", "X48"}, Case{"Y48 X16 X48", "X16"},
          Case{"xY48", "Y48"}, Case{"x16", ""}, Case{"CMD Error", ""}, Case{"", ""}}) {
        auto card = CreateCard(2, c.text);
        std::string model = !card                                       ? ""
                            : dynamic_cast<CHalvexX16Card*>(card.get()) ? "X16"
                            : dynamic_cast<CHalvexX48Card*>(card.get()) ? "X48"
                                                                        : "Y48";
        EXPECT_EQ(model, c.model) << c.text;
    }
}

TEST(Cards, FrameReportsNoCardAndWrongModelWithoutTouchingTheRegistry) {
    DriverController controller;
    controller.cards[2] = CreateCard(3, "X16");
    int calls = 0;
    auto work = [&](CHalvexCardBase&) { return ++calls, 0; };
    auto find = [&](int32_t number) {
        try {
            controller.FindCard(number);
            return 0;
        } catch (int32_t code) {
            return code;
        }
    };
    EXPECT_EQ(find(3), 0);
    for (int32_t number : {0, 1, 4, 17, -1, INT32_MIN, INT32_MAX})
        EXPECT_EQ(find(number), 7);
    EXPECT_EQ(controller.cards.size(), 1u);
    EXPECT_EQ(OnCard<CHalvexCardBase>(7, work), 7);
    EXPECT_EQ(calls, 0);
}

// The X48 reads its matrix reply at once and gives up 50 ms later; the X16 waits 10 ms first.
// A reply 55 ms after the command falls only into the X16's window. Timing on a busy machine
// varies, so each side gets three tries and must show its behaviour at least once.
TEST(Cards, X48MatrixReadsAtOnceX16AfterItsPause) {
    PtyPeer peer;
    peer.Respond([](const std::string&, PtyPeer& p) {
        SleepFor(55);
        p.Send("OK\n");
    });
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), kBaudRate));
    CHalvexX16Card x16(1, "X16");
    CHalvexX48Card x48(2, "X48");
    x16.SetLink(&link);
    x48.SetLink(&link);
    bool x16Caught = false, x48Missed = false;
    for (int i = 0; i < 3 && !(x16Caught && x48Missed); ++i) {
        if (!x16Caught)
            x16Caught = x16.SwitchRelayMatrix(1, 1, true) == 0;
        SleepFor(60);
        if (!x48Missed)
            x48Missed = x48.SwitchRelayMatrix(1, 1, true) == 4;
        SleepFor(60);
    }
    EXPECT_TRUE(x16Caught);
    EXPECT_TRUE(x48Missed);
}

TEST(Cards, CommandsWithoutALinkGetNoReply) {
    CHalvexY48Card card(5, "Y48");
    char reply[kReplyBufferSize] = "keep";
    int32_t length = 3;
    EXPECT_EQ(card.QueryID(reply, &length), 4);
    EXPECT_EQ(card.SwitchGPRelay(1, true), 4);
    EXPECT_STREQ(reply, "keep");
    EXPECT_EQ(card.MonitorSignals(), 0) << "a card never started polls nothing";
}

TEST(Cards, X48HasNoSignalInputs) {
    CHalvexX48Card card(2, "X48");
    EXPECT_EQ(card.MonitorSignals(), 1);
    EXPECT_TRUE(card.CheckModel());
}

}  // namespace
