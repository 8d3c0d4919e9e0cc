// Callbacks that call the library, late replies, prompt monitoring calls, ports that come back
// and fork: each case bounded, so that a hang fails the suite at once instead of stalling it.
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "api/api_environment.h"

namespace halvex_test {
namespace {

// Runs `work` on a thread of its own; a call that has not returned within `ms` ends the whole
// program with a message, since a thread stuck in the library cannot be taken back.
void Bounded(int ms, const char* what, std::function<void()> work) {
    std::atomic<bool> done{false};
    std::thread t([&] {
        work();
        done = true;
    });
    for (int waited = 0; !done.load(); waited += 10) {
        if (waited >= ms) {
            std::fprintf(stderr, "HANG: %s did not return within %d ms\n", what, ms);
            std::fflush(stderr);
            std::_Exit(3);
        }
        SleepMs(10);
    }
    t.join();
}

// ---- callbacks that call the library ----

enum class Action { None, End, EndEveryOther, Begin, Get, Relay, Series, ErrorInfo, Close, Open };

// The monitored cards: an X16 in slot 3 and Y48 cards in slots 5 and 7.
constexpr std::array<int, 3> kMonitored = {3, 5, 7};

struct Script {
    std::atomic<Action> action{Action::None};
    std::atomic<int> target{0};
    std::atomic<int> result{-100};
    std::atomic<int> readings{0};
    std::atomic<int> readingsWhenDone{-1};  // the target's readings right after the call
};
std::array<Script, 17> gScript;
std::atomic<int> gArmed{0};    // callbacks that are to act at their next reading
std::atomic<int> gEntered{0};  // armed callbacks that have started acting

int32_t EndOf(int card) {
    return card == 3 ? A().EndX16SignalMonitoring(card) : A().EndY48SignalMonitoring(card);
}

template <int Card>
void HALVEX_CALLBACK OnReading(SignalStatus*, int32_t);

int32_t BeginOf(int card, double interval = 0.02) {
    const std::string port = MonitorPort(card);
    switch (card) {
        case 3:
            return A().BeginX16SignalMonitoring(3, port.c_str(), interval, &OnReading<3>);
        case 5:
            return A().BeginY48SignalMonitoring(5, port.c_str(), interval, &OnReading<5>);
        default:
            return A().BeginY48SignalMonitoring(7, port.c_str(), interval, &OnReading<7>);
    }
}

int32_t Act(Script& s, int self) {
    const int target = s.target.load();
    switch (s.action.load()) {
        case Action::End:
            return EndOf(target);
        case Action::EndEveryOther: {
            int32_t worst = 0;
            for (int other : kMonitored) {
                if (other != self && EndOf(other) != 0)
                    worst = -1;
            }
            return worst;
        }
        case Action::Begin:
            return BeginOf(target);
        case Action::Get: {
            int32_t value = -1;
            const int32_t rc =
                A().GetY48SignalMonitoringData(target, MonitorPort(target).c_str(), &value);
            return rc == 0 && value == 0xFF ? 0 : 100 + rc;
        }
        case Action::Relay:
            return A().CloseX48RelayMatrix(4, 1, 1);
        case Action::Series: {
            CardInfo* records = nullptr;
            int32_t count = -1;
            const int32_t rc = A().GetHalvexSeries(&records, &count);
            ReleaseSeries(records);
            return rc == 0 && count == 4 ? 0 : 100 + count;
        }
        case Action::ErrorInfo: {
            char text[128] = {};
            return A().GetHalvexErrorInfo(4, text, sizeof(text)) == 0 && text[0] != '\0' ? 0 : 1;
        }
        case Action::Close:
            return A().CloseHalvex();
        case Action::Open:
            return A().OpenHalvex(TheSetup().commandPort.c_str());
        case Action::None:
            break;
    }
    return 0;
}

template <int Card>
void HALVEX_CALLBACK OnReading(SignalStatus*, int32_t) {
    Script& s = gScript[Card];
    ++s.readings;
    if (s.action.load() == Action::None || s.result.load() != -100)
        return;
    // Every armed callback waits (a while) for the others, so that their calls overlap.
    ++gEntered;
    for (int i = 0; i < 100 && gEntered.load() < gArmed.load(); ++i)
        SleepMs(5);
    const int32_t rc = Act(s, Card);
    if (s.target.load() != 0)
        s.readingsWhenDone = gScript[s.target.load()].readings.load();
    s.result = rc;
}

struct CallbackCase {
    const char* name;
    std::vector<int> monitored;  // cards whose monitor runs first
    // Per acting card: what its callback does, and to which card.
    std::vector<std::array<int, 3>> acts;  // {card, action, target}
    std::vector<int> stillMonitored;       // cards that must go on delivering afterwards
};

class Callbacks : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        for (Script& s : gScript) {
            s.action = Action::None;
            s.target = 0;
            s.result = -100;
            s.readings = 0;
            s.readingsWhenDone = -1;
        }
        gArmed = 0;
        gEntered = 0;
        OpenWithNoSilentSlot("3:X16:HALVEX X16;4:X48:HALVEX X48;5:Y48:HALVEX Y48;7:Y48:HALVEX Y48");
    }
    void TearDown() override {
        for (int card : kMonitored)
            EndOf(card);
        ApiTest::TearDown();
    }
};

bool WaitFor(const std::function<bool()>& condition, int ms = 3000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (condition())
            return true;
        SleepMs(10);
    }
    return condition();
}

TEST_F(Callbacks, AnyExportFromAnyCallbackReturnsWithoutDeadlock) {
    const int kEnd = static_cast<int>(Action::End);
    const int kEndAll = static_cast<int>(Action::EndEveryOther);
    const std::vector<CallbackCase> cases = {
        {"A ends B while B ends A", {3, 5}, {{3, kEnd, 5}, {5, kEnd, 3}}, {}},
        {"each ends every other",
         {3, 5, 7},
         {{3, kEndAll, 0}, {5, kEndAll, 0}, {7, kEndAll, 0}},
         {}},
        {"A ends itself", {3}, {{3, kEnd, 3}}, {}},
        {"A begins an idle B", {3}, {{3, static_cast<int>(Action::Begin), 5}}, {3, 5}},
        {"A reads an idle B", {3}, {{3, static_cast<int>(Action::Get), 7}}, {3}},
        {"A switches a relay", {3}, {{3, static_cast<int>(Action::Relay), 0}}, {3}},
        {"A lists the cards", {5}, {{5, static_cast<int>(Action::Series), 0}}, {5}},
        {"A asks for a message", {5}, {{5, static_cast<int>(Action::ErrorInfo), 0}}, {5}},
        {"A closes the chassis", {3, 5}, {{3, static_cast<int>(Action::Close), 0}}, {3, 5}},
        {"A runs a new discovery", {3, 5}, {{3, static_cast<int>(Action::Open), 0}}, {}},
    };
    for (const CallbackCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        for (int card : c.monitored)
            ASSERT_EQ(BeginOf(card), 0);
        for (int card : c.monitored)
            ASSERT_TRUE(WaitFor([&] { return gScript[card].readings.load() > 0; }));
        gArmed = static_cast<int>(c.acts.size());
        for (const auto& act : c.acts) {
            gScript[act[0]].target = act[2];
            gScript[act[0]].action = static_cast<Action>(act[1]);
        }
        Bounded(10000, c.name, [&] {
            for (const auto& act : c.acts)
                EXPECT_TRUE(WaitFor([&] { return gScript[act[0]].result.load() != -100; }));
        });
        for (const auto& act : c.acts)
            EXPECT_EQ(gScript[act[0]].result.load(), 0) << "callback of card " << act[0];
        // No callback of a monitor ended from a callback starts after End returned.
        SleepMs(150);
        for (const auto& act : c.acts) {
            const int target = act[2];
            if (act[1] == kEnd && target != act[0]) {
                EXPECT_EQ(gScript[target].readings.load(), gScript[act[0]].readingsWhenDone.load())
                    << "card " << target << " delivered after its End returned";
            }
        }
        for (int card : c.stillMonitored) {
            const int now = gScript[card].readings.load();
            EXPECT_TRUE(WaitFor([&] { return gScript[card].readings.load() > now + 1; }))
                << "card " << card << " stopped delivering";
        }
        Bounded(5000, "End after the case", [&] {
            for (int card : kMonitored)
                EXPECT_EQ(EndOf(card), 0) << card;
        });
        // Every monitoring port is free again and the command port works.
        for (int card : {5, 7}) {
            int32_t value = -1;
            EXPECT_EQ(A().GetY48SignalMonitoringData(card, MonitorPort(card).c_str(), &value), 0);
        }
        ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
        EXPECT_EQ(A().CloseX48RelayMatrix(4, 2, 2), 0);
        TearDown();
    }
}

TEST_F(Callbacks, EndFromAnotherThreadWaitsForTheWorkerWhoseCallbackEndsOthers) {
    // The app ends 3 and 5 from two threads while their callbacks end each other.
    ASSERT_EQ(BeginOf(3, 0.01), 0);
    ASSERT_EQ(BeginOf(5, 0.01), 0);
    ASSERT_TRUE(WaitFor([] { return gScript[3].readings > 0 && gScript[5].readings > 0; }));
    gArmed = 2;
    gScript[3].target = 5;
    gScript[5].target = 3;
    gScript[3].action = Action::End;
    gScript[5].action = Action::End;
    Bounded(10000, "two Ends against two callbacks", [] {
        std::thread other([] { EXPECT_EQ(EndOf(5), 0); });
        EXPECT_EQ(EndOf(3), 0);
        other.join();
    });
    const int r3 = gScript[3].readings, r5 = gScript[5].readings;
    SleepMs(150);
    EXPECT_EQ(gScript[3].readings.load(), r3);
    EXPECT_EQ(gScript[5].readings.load(), r5);
}

TEST_F(Callbacks, RestartingItselfFromItsCallbackIsRefused) {
    gScript[3].target = 3;
    gScript[3].action = Action::Begin;
    ASSERT_EQ(BeginOf(3), 0);
    ASSERT_TRUE(WaitFor([] { return gScript[3].result.load() != -100; }));
    EXPECT_EQ(gScript[3].result.load(), 5);
    EXPECT_TRUE(WaitFor([] { return gScript[3].readings.load() > 2; })) << "the monitor goes on";
}

// ---- the monitoring calls never wait behind another card's exchange ----

TEST_F(Callbacks, MonitoringCallsArePromptDuringAnotherCardsSelfTest) {
    Sim().Next(4, "wait:3000 hex:" + Hex("PASS\n"));
    std::thread selfTest([] {
        char reply[HALVEX_REPLY_MAX];
        int32_t length = 0;
        EXPECT_EQ(A().SelfTestHalvex(4, reply, &length), 0);
    });
    SleepMs(300);  // the self test holds the command port now
    double beginMs = 0, endMs = 0, getMs = 0;
    Bounded(10000, "monitoring calls during a self test", [&] {
        beginMs = MillisecondsOf([] { EXPECT_EQ(BeginOf(3), 0); });
        EXPECT_TRUE(WaitFor([] { return gScript[3].readings.load() > 0; }, 1500));
        endMs = MillisecondsOf([] { EXPECT_EQ(EndOf(3), 0); });
        int32_t value = -1;
        getMs = MillisecondsOf([&] {
            EXPECT_EQ(A().GetY48SignalMonitoringData(5, MonitorPort(5).c_str(), &value), 0);
        });
    });
    selfTest.join();
    std::printf("[ prompt   ] during a self test: Begin %.1f ms, End %.1f ms, Get %.1f ms\n",
                beginMs, endMs, getMs);
    // Generous bounds, far below the 2.7 s the self test still had to run.
    EXPECT_LT(beginMs, 1000.0);
    EXPECT_LT(endMs, 1000.0);
    EXPECT_LT(getMs, 1000.0);
}

// ---- a monitoring port that goes away and comes back ----

TEST_F(Callbacks, MonitorResumesWhenItsPortComesBack) {
    ASSERT_EQ(BeginOf(5, 0.02), 0);
    ASSERT_TRUE(WaitFor([] { return gScript[5].readings.load() > 1; }));
    Sim().Vanish("mon05");
    SleepMs(150);  // a reading under way may still finish
    const int gone = gScript[5].readings.load();
    SleepMs(400);
    EXPECT_EQ(gScript[5].readings.load(), gone) << "a reading without a port";
    Sim().Replug("mon05");
    EXPECT_TRUE(WaitFor([&] { return gScript[5].readings.load() > gone + 1; }))
        << "no readings after the port came back";
    Sim().Vanish("mon05");
    SleepMs(100);
    double ms = 0;
    Bounded(5000, "End while the port is gone",
            [&] { ms = MillisecondsOf([] { EXPECT_EQ(EndOf(5), 0); }); });
    EXPECT_LT(ms, 1000.0);
    Sim().Replug("mon05");
}

// ---- late replies are never taken for the next command's ----

class LateReplies : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        OpenWithNoSilentSlot("3:X16:HALVEX X16;4:X48:HALVEX X48");
    }
};

TEST_F(LateReplies, ALateOkIsNotTheNextCommandsReply) {
    for (int late : {65, 75, 90, 120}) {
        SCOPED_TRACE("reply after " + std::to_string(late) + " ms");
        Sim().Next(3, "wait:" + std::to_string(late) + " hex:" + Hex("OK\n"));
        EXPECT_EQ(A().CloseX16GPRelay(3, 1), 4);
        // The card refuses this one; its own reply must be the one classified.
        EXPECT_EQ(A().CloseX16GPRelay(3, 999), 3);
        EXPECT_EQ(A().CloseX16GPRelay(3, 2), 0);
    }
}

TEST_F(LateReplies, AfterACompleteReplyNothingWaits) {
    // The guard follows only a reply that did not complete: a refusal costs no more than before.
    EXPECT_EQ(A().CloseX16GPRelay(3, 999), 3);
    const double ms = MillisecondsOf([] { EXPECT_EQ(A().CloseX16GPRelay(3, 1), 0); });
    EXPECT_LT(ms, 60.0 + 40.0);
}

TEST_F(LateReplies, ASlowIdentificationRegistersNoCardUnderTheNextSlot) {
    // Slot 5 answers during slot 6's window (or later), slot 6 empty or with a card of its own.
    struct Row {
        int late;
        bool neighbour;
    };
    for (const Row row : {Row{65, false}, Row{80, false}, Row{110, false}, Row{135, false},
                          Row{65, true}, Row{80, true}, Row{110, true}, Row{135, true}}) {
        SCOPED_TRACE("identification after " + std::to_string(row.late) + " ms" +
                     (row.neighbour ? ", a card in slot 6" : ""));
        Sim().Reset();
        Sim().Card(5, "X16", "HALVEX X16 SLOW");
        Sim().Delay(5, row.late);
        if (row.neighbour)
            Sim().Card(6, "Y48", "HALVEX Y48 NEIGHBOUR");
        Sim().Card(7, "X48", "HALVEX X48 PROMPT");
        ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
        CardInfo* records = nullptr;
        int32_t count = -1;
        ASSERT_EQ(A().GetHalvexSeries(&records, &count), 0);
        std::vector<std::string> found;
        for (int32_t i = 0; i < count; ++i)
            found.push_back(std::to_string(records[i].cardNumber) + " " + records[i].idText);
        ReleaseSeries(records);
        std::vector<std::string> expected{"7 HALVEX X48 PROMPT"};
        if (row.neighbour)
            expected.insert(expected.begin(), "6 HALVEX Y48 NEIGHBOUR");
        EXPECT_EQ(found, expected);
        EXPECT_EQ(A().CloseX16GPRelay(row.neighbour ? 4 : 6, 1), 7);
        EXPECT_EQ(A().CloseX48PullUpRelay(7), 0);
    }
}

#if !defined(_WIN32)
// ---- fork while monitors run ----

TEST_F(Callbacks, ChildForkedWhileMonitorsRunCanUseTheLibraryAndExit) {
    ASSERT_EQ(BeginOf(3, 0.01), 0);
    ASSERT_EQ(BeginOf(5, 0.01), 0);
    ASSERT_TRUE(WaitFor([] { return gScript[3].readings > 0 && gScript[5].readings > 0; }));
    for (int round = 0; round < 10; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The child starts with a library of its own: no cards until it discovers.
            CardInfo* records = nullptr;
            int32_t count = -1;
            const bool fresh = A().GetHalvexSeries(&records, &count) == 0 && count == 0;
            ReleaseSeries(records);
            std::exit(fresh && EndOf(3) == 7 ? 0 : 1);
        }
        int status = -1;
        pid_t got = 0;
        for (int waited = 0; waited < 10000 && got == 0; waited += 10) {
            got = waitpid(child, &status, WNOHANG);
            if (got == 0)
                SleepMs(10);
        }
        if (got == 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "the child forked in round " << round << " hung on its way out";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    const int now = gScript[3].readings.load();
    EXPECT_TRUE(WaitFor([&] { return gScript[3].readings.load() > now; })) << "parent's monitor";
}
#endif

}  // namespace
}  // namespace halvex_test
