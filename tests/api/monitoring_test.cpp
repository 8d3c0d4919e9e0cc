// Signal monitoring over each card's own port: readings, stopping, single reads, hand-overs.
#include <array>
#include <atomic>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "api/api_environment.h"

namespace halvex_test {
namespace {

using Reading = std::array<int, 8>;  // state of channels 1..8

std::mutex gMutex;
std::vector<Reading> gReadings;
std::atomic<int> gBadShape{0};
std::atomic<int> gEndFromCallback{0};  // card whose End the callback calls, 0 for none
std::atomic<int> gEndResult{-1};

void HALVEX_CALLBACK Collect(SignalStatus* status, int32_t count) {
    Reading r{};
    if (count != 8)
        ++gBadShape;
    for (int i = 0; i < 8 && i < count; ++i) {
        if (status[i].channel != i + 1)
            ++gBadShape;
        r[i] = status[i].state;
    }
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gReadings.push_back(r);
    }
    const int card = gEndFromCallback.exchange(0);
    if (card != 0)
        gEndResult = A().EndX16SignalMonitoring(card);
}

size_t ReadingCount() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gReadings.size();
}

Reading LastReading() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gReadings.empty() ? Reading{-1, -1, -1, -1, -1, -1, -1, -1} : gReadings.back();
}

// Waits up to three seconds for more than `count` readings.
bool WaitForReadings(size_t count) {
    for (int i = 0; i < 300; ++i) {
        if (ReadingCount() > count)
            return true;
        SleepMs(10);
    }
    return false;
}

class Monitoring : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        {
            std::lock_guard<std::mutex> lock(gMutex);
            gReadings.clear();
        }
        gBadShape = 0;
        OpenWithNoSilentSlot("3:X16:HALVEX X16;4:X48:HALVEX X48;5:Y48:HALVEX Y48");
    }
    void TearDown() override {
        A().EndX16SignalMonitoring(3);
        A().EndY48SignalMonitoring(5);
        EXPECT_EQ(gBadShape.load(), 0) << "a reading did not hold channels 1 to 8";
        ApiTest::TearDown();
    }
    std::string Mon(int slot) { return MonitorPort(slot); }
};

struct DecodeCase {
    std::string reply;  // the bytes the card answers PHOTO with
    Reading states;
    int32_t raw;
};

TEST_F(Monitoring, DecodesTheFirstReplyByteThroughCallbackAndGet) {
    const std::vector<DecodeCase> cases = {
        {std::string("\xfe\n"), {1, 0, 0, 0, 0, 0, 0, 0}, 254},
        {std::string("\x00\n", 2), {1, 1, 1, 1, 1, 1, 1, 1}, 0},
        {std::string("\xff\n"), {0, 0, 0, 0, 0, 0, 0, 0}, 255},
        {"A\n", {0, 1, 1, 1, 1, 1, 0, 1}, 65},
        // Longer than the reading buffer: only the first byte counts, nothing overruns.
        {std::string(1, '\x7f') + std::string(400, 'z') + "\n", {0, 0, 0, 0, 0, 0, 0, 1}, 127},
    };
    for (const DecodeCase& c : cases) {
        Sim().Photo(3, c.reply);
        const size_t before = ReadingCount();
        ASSERT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 0.05, &Collect), 0);
        ASSERT_TRUE(WaitForReadings(before)) << Hex(c.reply);
        ASSERT_EQ(A().EndX16SignalMonitoring(3), 0);
        EXPECT_EQ(LastReading(), c.states) << Hex(c.reply);
        int32_t value = -1;
        EXPECT_EQ(A().GetX16SignalMonitoringData(3, Mon(3).c_str(), &value), 0);
        EXPECT_EQ(value, c.raw) << Hex(c.reply);
    }
}

TEST_F(Monitoring, PollsWithItsCardNumberOnItsOwnPort) {
    Sim().Status(5, 0x0F);
    ASSERT_EQ(A().BeginY48SignalMonitoring(5, Mon(5).c_str(), 0.05, &Collect), 0);
    ASSERT_TRUE(WaitForReadings(1));
    ASSERT_EQ(A().EndY48SignalMonitoring(5), 0);
    EXPECT_EQ(LastReading(), (Reading{0, 0, 0, 0, 1, 1, 1, 1}));
    int polls = 0;
    for (const WireLine& line : Sim().Log()) {
        EXPECT_EQ(line.port, "mon05");
        EXPECT_EQ(line.bytes, "PHOTO(05)\n");
        ++polls;
    }
    EXPECT_GE(polls, 2);
}

TEST_F(Monitoring, NoCallbackAfterEndReturns) {
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 0.01, &Collect), 0);
    ASSERT_TRUE(WaitForReadings(3));
    ASSERT_EQ(A().EndX16SignalMonitoring(3), 0);
    const size_t after = ReadingCount();
    SleepMs(300);
    EXPECT_EQ(ReadingCount(), after);
}

TEST_F(Monitoring, EndWakesALongPauseAtOnce) {
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 3600.0, &Collect), 0);
    ASSERT_TRUE(WaitForReadings(0));
    const double ms = MillisecondsOf([] { EXPECT_EQ(A().EndX16SignalMonitoring(3), 0); });
    EXPECT_LT(ms, 2000.0);
}

TEST_F(Monitoring, EndWithoutMonitorSucceedsEveryTime) {
    EXPECT_EQ(A().EndX16SignalMonitoring(3), 0);
    EXPECT_EQ(A().EndX16SignalMonitoring(3), 0);
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 0.05, &Collect), 0);
    EXPECT_EQ(A().EndX16SignalMonitoring(3), 0);
    EXPECT_EQ(A().EndX16SignalMonitoring(3), 0);
}

TEST_F(Monitoring, SecondBeginOrGetWhileMonitoringIsRefused) {
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 0.02, &Collect), 0);
    ASSERT_TRUE(WaitForReadings(0));
    EXPECT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 0.02, &Collect), 5);
    EXPECT_EQ(A().BeginX16SignalMonitoring(3, Mon(9).c_str(), 0.02, &Collect), 5);
    EXPECT_EQ(A().BeginX16SignalMonitoring(3, "/nonexistent/port", 0.02, &Collect), 5);
    int32_t value = -7;
    EXPECT_EQ(A().GetX16SignalMonitoringData(3, Mon(9).c_str(), &value), 5);
    EXPECT_EQ(value, -7);
    const size_t now = ReadingCount();
    EXPECT_TRUE(WaitForReadings(now + 2)) << "the first monitor stopped delivering";
    EXPECT_EQ(A().EndX16SignalMonitoring(3), 0);
}

TEST_F(Monitoring, RefusedBeginsOpenNothingAndStartNothing) {
    EXPECT_EQ(A().BeginX16SignalMonitoring(3, "/nonexistent/port", 0.02, &Collect), 5);
    EXPECT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 0.02, nullptr), 3);
    EXPECT_EQ(A().BeginX16SignalMonitoring(5, Mon(5).c_str(), 0.02, &Collect), 8);
    EXPECT_EQ(A().BeginY48SignalMonitoring(3, Mon(3).c_str(), 0.02, &Collect), 8);
    EXPECT_EQ(A().GetY48SignalMonitoringData(4, Mon(4).c_str(), nullptr), 8);
    EXPECT_EQ(A().BeginX16SignalMonitoring(9, Mon(9).c_str(), 0.02, &Collect), 7);
    SleepMs(100);
    EXPECT_EQ(ReadingCount(), 0u);
    EXPECT_TRUE(Sim().Log().empty()) << "nothing may reach a monitoring port";
    // Every port is still free.
    int32_t value = -1;
    EXPECT_EQ(A().GetX16SignalMonitoringData(3, Mon(3).c_str(), &value), 0);
    EXPECT_EQ(A().GetY48SignalMonitoringData(5, Mon(5).c_str(), &value), 0);
}

TEST_F(Monitoring, GetOnASilentPortGivesFourAndClosesIt) {
    int32_t value = 1234;
    EXPECT_EQ(A().GetX16SignalMonitoringData(3, Mon(9).c_str(), &value), 4);  // slot 9 is empty
    EXPECT_EQ(value, 1234);
    EXPECT_EQ(A().GetX16SignalMonitoringData(3, Mon(9).c_str(), &value), 4);  // not left held
    EXPECT_EQ(A().GetX16SignalMonitoringData(3, "/nonexistent/port", &value), 5);
    EXPECT_EQ(value, 1234);
}

TEST_F(Monitoring, MonitoringDoesNotDisturbRelayCommands) {
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 0.01, &Collect), 0);
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(A().CloseX16RelayMatrix(3, i, i), 0);
    EXPECT_EQ(A().CloseHalvex(), 0);
    const size_t now = ReadingCount();
    EXPECT_TRUE(WaitForReadings(now + 1)) << "the monitor's port is its own";
    EXPECT_EQ(A().EndX16SignalMonitoring(3), 0);
}

TEST_F(Monitoring, NewDiscoveryEndsARunningMonitor) {
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 0.01, &Collect), 0);
    ASSERT_TRUE(WaitForReadings(1));
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    const size_t after = ReadingCount();
    SleepMs(200);
    EXPECT_EQ(ReadingCount(), after);
    int32_t value = -1;
    EXPECT_EQ(A().GetX16SignalMonitoringData(3, Mon(3).c_str(), &value), 0) << "port released";
}

TEST_F(Monitoring, EndFromInsideTheCallbackDoesNotDeadlock) {
    gEndResult = -1;
    gEndFromCallback = 3;
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 0.01, &Collect), 0);
    ASSERT_TRUE(WaitForReadings(0));
    SleepMs(200);
    EXPECT_EQ(gEndResult.load(), 0);
    EXPECT_EQ(ReadingCount(), 1u) << "the worker left after the callback that ended it";
    EXPECT_EQ(A().EndX16SignalMonitoring(3), 0);
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), 0.01, &Collect), 0);
    EXPECT_TRUE(WaitForReadings(1));
    EXPECT_EQ(A().EndX16SignalMonitoring(3), 0);
}

TEST_F(Monitoring, OddIntervalsStillPollAndStop) {
    for (double interval : {0.0, -1.0, 0.0105, std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::infinity()}) {
        const size_t before = ReadingCount();
        ASSERT_EQ(A().BeginX16SignalMonitoring(3, Mon(3).c_str(), interval, &Collect), 0);
        EXPECT_TRUE(WaitForReadings(before)) << interval;
        EXPECT_LT(MillisecondsOf([] { EXPECT_EQ(A().EndX16SignalMonitoring(3), 0); }), 2000.0)
            << interval;
    }
}

}  // namespace
}  // namespace halvex_test
