// Calls from several threads: exchanges never overlap, discovery excludes card calls, and a
// monitor's callback may call back into the library.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "api/api_environment.h"

namespace halvex_test {
namespace {

class Threads : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        OpenWithNoSilentSlot(
            "3:X16:HALVEX X16 THREADS;4:X48:HALVEX X48 THREADS;5:Y48:HALVEX Y48 THREADS");
    }
};

TEST_F(Threads, ExchangesNeverMixTheirReplies) {
    // Each thread expects its own kind of answer; overlapping exchanges would purge each
    // other's replies (4) or read each other's (a wrong code or text).
    constexpr int kRounds = 60;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i)
            wrong += A().CloseX16RelayMatrix(3, 1 + i % 16, 2) != 0;
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i)
            wrong += A().CloseX48RelayMatrix(4, 99, 99) != 3;
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            char reply[HALVEX_REPLY_MAX] = "";
            int32_t length = 0;
            wrong += A().QueryHalvexID(5, reply, &length) != 0 ||
                     std::string(reply) != "HALVEX Y48 THREADS\n";
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            CardInfo* records = nullptr;
            int32_t count = 0;
            A().GetHalvexSeries(&records, &count);
            wrong += count != 3;
            ReleaseSeries(records);
        }
    });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(Threads, DiscoveryExcludesEveryCardCall) {
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<int> calls{0};
    std::thread worker([&] {
        while (!done) {
            wrong += A().OpenX16GPRelay(3, 7) != 0;  // card 3 is there before and after
            ++calls;
        }
    });
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    done = true;
    worker.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(calls.load(), 0);
    // On the wire, each discovery's sixteen queries follow one another with nothing between.
    const std::vector<std::string> lines = Sim().CommandLines();
    int inDiscovery = 0;
    for (const std::string& line : lines) {
        if (line.rfind("*IDN?(", 0) == 0) {
            EXPECT_EQ(line, "*IDN?(" + std::string(inDiscovery < 9 ? "0" : "") +
                                std::to_string(inDiscovery + 1) + ")\n");
            inDiscovery = (inDiscovery + 1) % 16;
        } else {
            EXPECT_EQ(inDiscovery, 0) << "a card call inside a discovery: " << line;
        }
    }
}

std::atomic<int> gCallbackCalls{0};
std::atomic<int> gCallbackWrong{0};

void HALVEX_CALLBACK CallsTheLibrary(SignalStatus*, int32_t) {
    ++gCallbackCalls;
    gCallbackWrong += A().CloseX16PullUpRelay(3) != 0;
}

TEST_F(Threads, CallbackMayCallTheLibraryWhileOtherCallsRun) {
    gCallbackCalls = 0;
    gCallbackWrong = 0;
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, MonitorPort(3).c_str(), 0.01, &CallsTheLibrary), 0);
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(A().CloseX48PullUpRelay(4), 0);
    // End waits for the monitor, whose callback is busy with an exchange of its own.
    EXPECT_EQ(A().EndX16SignalMonitoring(3), 0);
    EXPECT_GT(gCallbackCalls.load(), 0);
    EXPECT_EQ(gCallbackWrong.load(), 0);
}

TEST_F(Threads, DiscoveryEndsAMonitorWhoseCallbackCallsTheLibrary) {
    gCallbackCalls = 0;
    ASSERT_EQ(A().BeginX16SignalMonitoring(3, MonitorPort(3).c_str(), 0.01, &CallsTheLibrary), 0);
    for (int i = 0; i < 200 && gCallbackCalls == 0; ++i)
        SleepMs(10);
    ASSERT_GT(gCallbackCalls.load(), 0);
    EXPECT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    const int after = gCallbackCalls.load();
    SleepMs(200);
    EXPECT_EQ(gCallbackCalls.load(), after) << "the old card's monitor still runs";
}

TEST_F(Threads, MonitoringCallsOnOneCardFromManyThreads) {
    std::atomic<int> begun{0};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                const int32_t rc =
                    A().BeginY48SignalMonitoring(5, MonitorPort(5).c_str(), 0.01, &CallsTheLibrary);
                begun += rc == 0;
                unexpected += rc != 0 && rc != 5;
                const int32_t end = A().EndY48SignalMonitoring(5);
                unexpected += end != 0;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(begun.load(), 0);
    int32_t value = -1;
    EXPECT_EQ(A().GetY48SignalMonitoringData(5, MonitorPort(5).c_str(), &value), 0)
        << "no monitor is left holding the port";
}

}  // namespace
}  // namespace halvex_test
