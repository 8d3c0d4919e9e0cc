// Bad arguments at every export: each gets a clear result code, nothing crashes or hangs.
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "api/api_environment.h"

namespace halvex_test {
namespace {

void HALVEX_CALLBACK Ignore(SignalStatus*, int32_t) {}

class BadInput : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        OpenWithNoSilentSlot("3:X16:HALVEX X16 BAD;4:X48:HALVEX X48 BAD;5:Y48:HALVEX Y48 BAD");
    }
};

const std::vector<int32_t> kBadCards = {INT_MIN, -1, 0, 17, INT_MAX};
const std::vector<int32_t> kExtremes = {INT_MIN, INT_MIN + 1, -1, 0, INT_MAX};

// Every export that takes a card number, called with harmless other arguments.
std::vector<std::pair<std::string, std::function<int32_t(int32_t)>>> CardExports() {
    char* reply = nullptr;
    int32_t* length = nullptr;
    static int32_t value;
    const std::string mon = MonitorPort(3);
    return {
        {"SelfTestHalvex", [=](int32_t c) { return A().SelfTestHalvex(c, reply, length); }},
        {"QueryHalvexID", [=](int32_t c) { return A().QueryHalvexID(c, reply, length); }},
        {"ResetHalvex", [](int32_t c) { return A().ResetHalvex(c); }},
        {"CloseX16RelayMatrix", [](int32_t c) { return A().CloseX16RelayMatrix(c, 1, 1); }},
        {"OpenX16RelayMatrix", [](int32_t c) { return A().OpenX16RelayMatrix(c, 1, 1); }},
        {"CloseX16RowHiLoMatrix", [](int32_t c) { return A().CloseX16RowHiLoMatrix(c, 1, 1); }},
        {"OpenX16RowHiLoMatrix", [](int32_t c) { return A().OpenX16RowHiLoMatrix(c, 1, 1); }},
        {"CloseX16GPRelay", [](int32_t c) { return A().CloseX16GPRelay(c, 1); }},
        {"OpenX16GPRelay", [](int32_t c) { return A().OpenX16GPRelay(c, 1); }},
        {"CloseX16ExtGPRelay", [](int32_t c) { return A().CloseX16ExtGPRelay(c, 1); }},
        {"OpenX16ExtGPRelay", [](int32_t c) { return A().OpenX16ExtGPRelay(c, 1); }},
        {"CloseX16PsRelay", [](int32_t c) { return A().CloseX16PsRelay(c, 1); }},
        {"OpenX16PsRelay", [](int32_t c) { return A().OpenX16PsRelay(c, 1); }},
        {"CloseX16DischargeRelay", [](int32_t c) { return A().CloseX16DischargeRelay(c, 1); }},
        {"OpenX16DischargeRelay", [](int32_t c) { return A().OpenX16DischargeRelay(c, 1); }},
        {"CloseX16PullUpRelay", [](int32_t c) { return A().CloseX16PullUpRelay(c); }},
        {"OpenX16PullUpRelay", [](int32_t c) { return A().OpenX16PullUpRelay(c); }},
        {"CloseX16PullDownRelay", [](int32_t c) { return A().CloseX16PullDownRelay(c); }},
        {"OpenX16PullDownRelay", [](int32_t c) { return A().OpenX16PullDownRelay(c); }},
        {"CloseX16TestProbeRelay", [](int32_t c) { return A().CloseX16TestProbeRelay(c); }},
        {"OpenX16TestProbeRelay", [](int32_t c) { return A().OpenX16TestProbeRelay(c); }},
        {"CloseX16GndRelay", [](int32_t c) { return A().CloseX16GndRelay(c); }},
        {"OpenX16GndRelay", [](int32_t c) { return A().OpenX16GndRelay(c); }},
        {"BeginX16SignalMonitoring",
         [=](int32_t c) { return A().BeginX16SignalMonitoring(c, mon.c_str(), 0.1, &Ignore); }},
        {"EndX16SignalMonitoring", [](int32_t c) { return A().EndX16SignalMonitoring(c); }},
        {"GetX16SignalMonitoringData",
         [=](int32_t c) { return A().GetX16SignalMonitoringData(c, mon.c_str(), &value); }},
        {"CloseX48RelayMatrix", [](int32_t c) { return A().CloseX48RelayMatrix(c, 1, 1); }},
        {"OpenX48RelayMatrix", [](int32_t c) { return A().OpenX48RelayMatrix(c, 1, 1); }},
        {"CloseX48RowHiLoMatrix", [](int32_t c) { return A().CloseX48RowHiLoMatrix(c, 1, 1); }},
        {"OpenX48RowHiLoMatrix", [](int32_t c) { return A().OpenX48RowHiLoMatrix(c, 1, 1); }},
        {"CloseX48PullUpRelay", [](int32_t c) { return A().CloseX48PullUpRelay(c); }},
        {"OpenX48PullUpRelay", [](int32_t c) { return A().OpenX48PullUpRelay(c); }},
        {"CloseX48PullDownRelay", [](int32_t c) { return A().CloseX48PullDownRelay(c); }},
        {"OpenX48PullDownRelay", [](int32_t c) { return A().OpenX48PullDownRelay(c); }},
        {"CloseX48TestProbeRelay", [](int32_t c) { return A().CloseX48TestProbeRelay(c); }},
        {"OpenX48TestProbeRelay", [](int32_t c) { return A().OpenX48TestProbeRelay(c); }},
        {"CloseX48GndRelay", [](int32_t c) { return A().CloseX48GndRelay(c); }},
        {"OpenX48GndRelay", [](int32_t c) { return A().OpenX48GndRelay(c); }},
        {"CloseY48GPRelay", [](int32_t c) { return A().CloseY48GPRelay(c, 1); }},
        {"OpenY48GPRelay", [](int32_t c) { return A().OpenY48GPRelay(c, 1); }},
        {"CloseY48ExtGPRelay", [](int32_t c) { return A().CloseY48ExtGPRelay(c, 1); }},
        {"OpenY48ExtGPRelay", [](int32_t c) { return A().OpenY48ExtGPRelay(c, 1); }},
        {"BeginY48SignalMonitoring",
         [=](int32_t c) { return A().BeginY48SignalMonitoring(c, mon.c_str(), 0.1, &Ignore); }},
        {"EndY48SignalMonitoring", [](int32_t c) { return A().EndY48SignalMonitoring(c); }},
        {"GetY48SignalMonitoringData",
         [=](int32_t c) { return A().GetY48SignalMonitoringData(c, mon.c_str(), &value); }},
    };
}

TEST_F(BadInput, CardNumbersOutsideTheChassisGiveSevenEverywhere) {
    int tried = 0;
    for (const auto& e : CardExports()) {
        for (int32_t card : kBadCards) {
            EXPECT_EQ(e.second(card), 7) << e.first << "(" << card << ")";
            ++tried;
        }
    }
    EXPECT_EQ(tried, 45 * 5);
    EXPECT_TRUE(Sim().Log().empty()) << "nothing may reach any port";
}

TEST_F(BadInput, RelayNumbersAtTheExtremesOfInt32) {
    // The simulated cards refuse every number outside their ranges with "Parameter Range
    // Error", and matrix lines too long to send are refused before sending: 3 throughout.
    using Relay = std::function<int32_t(int32_t)>;
    const std::vector<std::pair<std::string, Relay>> relays = {
        {"CloseX16RelayMatrix row", [](int32_t v) { return A().CloseX16RelayMatrix(3, v, 1); }},
        {"OpenX16RelayMatrix column", [](int32_t v) { return A().OpenX16RelayMatrix(3, 1, v); }},
        {"CloseX16RelayMatrix both", [](int32_t v) { return A().CloseX16RelayMatrix(3, v, v); }},
        {"CloseX16RowHiLoMatrix row", [](int32_t v) { return A().CloseX16RowHiLoMatrix(3, v, 0); }},
        {"CloseX16GPRelay", [](int32_t v) { return A().CloseX16GPRelay(3, v); }},
        {"OpenX16ExtGPRelay", [](int32_t v) { return A().OpenX16ExtGPRelay(3, v); }},
        {"CloseX16PsRelay", [](int32_t v) { return A().CloseX16PsRelay(3, v); }},
        {"OpenX16DischargeRelay", [](int32_t v) { return A().OpenX16DischargeRelay(3, v); }},
        {"OpenX48RelayMatrix both", [](int32_t v) { return A().OpenX48RelayMatrix(4, v, v); }},
        {"OpenX48RowHiLoMatrix row", [](int32_t v) { return A().OpenX48RowHiLoMatrix(4, v, v); }},
        {"CloseY48GPRelay", [](int32_t v) { return A().CloseY48GPRelay(5, v); }},
        {"OpenY48ExtGPRelay", [](int32_t v) { return A().OpenY48ExtGPRelay(5, v); }},
    };
    for (const auto& r : relays) {
        for (int32_t v : kExtremes) {
            EXPECT_EQ(r.second(v), 3) << r.first << " " << v;
        }
    }
    // The lo argument is any int32: zero is hi, the rest lo.
    for (int32_t lo : kExtremes)
        EXPECT_EQ(A().CloseX16RowHiLoMatrix(3, 2, lo), 0) << lo;
}

TEST_F(BadInput, NullPointersGetAClearCode) {
    int32_t count = 5;
    CardInfo* records = nullptr;
    EXPECT_EQ(A().GetHalvexSeries(nullptr, nullptr), 0);
    EXPECT_EQ(A().GetHalvexSeries(nullptr, &count), 0);
    EXPECT_EQ(A().GetHalvexSeries(&records, nullptr), 0);
    EXPECT_EQ(records, nullptr);
    EXPECT_EQ(A().GetHalvexErrorInfo(3, nullptr, 64), 0);
    EXPECT_EQ(A().SelfTestHalvex(3, nullptr, nullptr), 0);  // the exchange runs, nothing stored
    EXPECT_EQ(A().QueryHalvexID(4, nullptr, nullptr), 0);
    EXPECT_EQ(A().BeginX16SignalMonitoring(3, nullptr, 0.1, &Ignore), 5);
    EXPECT_EQ(A().BeginY48SignalMonitoring(5, MonitorPort(5).c_str(), 0.1, nullptr), 3);
    EXPECT_EQ(A().GetX16SignalMonitoringData(3, nullptr, &count), 5);
    EXPECT_EQ(A().GetY48SignalMonitoringData(5, MonitorPort(5).c_str(), nullptr), 0);
    EXPECT_EQ(count, 5);
    // Last: a failed open leaves the command port closed (the cards stay listed).
    EXPECT_EQ(A().OpenHalvex(nullptr), 5);
    EXPECT_EQ(A().ResetHalvex(3), 4);
}

TEST_F(BadInput, PortNamesThatCannotBeOpened) {
    const std::string huge(4096, 'A');
    for (const std::string& name : {std::string(""), huge, std::string("\x01\x02\xff"),
                                    std::string("COM0"), std::string("/")}) {
        EXPECT_EQ(A().BeginX16SignalMonitoring(3, name.c_str(), 0.1, &Ignore), 5) << name.size();
        int32_t value = 77;
        EXPECT_EQ(A().GetY48SignalMonitoringData(5, name.c_str(), &value), 5) << name.size();
        EXPECT_EQ(value, 77);
        EXPECT_EQ(A().OpenHalvex(name.c_str()), 5) << name.size();
    }
    EXPECT_EQ(A().ResetHalvex(3), 4) << "the cards stay listed; the port is closed";
}

// After CloseHalvex the cards stay listed and their calls give 4 after the reply limit: the
// wait for a reply that cannot come sleeps instead of polling the closed port back to back.
TEST_F(BadInput, CallsOnAClosedPortGiveFourWithoutSpinning) {
    ASSERT_EQ(A().CloseHalvex(), 0);
    const double cpuBefore = ProcessCpuMilliseconds();
    const double wallMs = MillisecondsOf([] {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(A().CloseX16RelayMatrix(3, 5, 7), 4);
            EXPECT_EQ(A().OpenX48GndRelay(4), 4);
            EXPECT_EQ(A().CloseY48GPRelay(5, 2), 4);
            EXPECT_EQ(A().QueryHalvexID(4, nullptr, nullptr), 4);
        }
    });
    const double cpuMs = ProcessCpuMilliseconds() - cpuBefore;
    EXPECT_LT(cpuMs, 0.1 * wallMs)
        << "busy polling: " << cpuMs << " ms of processor time in " << wallMs << " ms";
}

TEST_F(BadInput, MessageBufferSizes) {
    for (int32_t size : {INT_MIN, -1, 0}) {
        char buffer[4] = "abc";
        EXPECT_EQ(A().GetHalvexErrorInfo(1, buffer, size), 0);
        EXPECT_STREQ(buffer, "abc") << size;
    }
    for (int32_t size : {1, 2, 32}) {
        char buffer[40];
        std::memset(buffer, '#', sizeof(buffer));
        EXPECT_EQ(A().GetHalvexErrorInfo(1, buffer, size), 0);  // needs 33 bytes
        EXPECT_EQ(buffer[0], '\0') << size;
        EXPECT_EQ(buffer[1], '#') << size;
    }
}

TEST_F(BadInput, IntervalsThatAreNotOrdinaryNumbers) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double interval : {nan, inf, -inf, -5.0, 1e300, -1e300, 4.9e-324}) {
        ASSERT_EQ(A().BeginX16SignalMonitoring(3, MonitorPort(3).c_str(), interval, &Ignore), 0)
            << interval;
        SleepMs(30);
        EXPECT_LT(MillisecondsOf([] { EXPECT_EQ(A().EndX16SignalMonitoring(3), 0); }), 2000.0)
            << interval;
    }
}

}  // namespace
}  // namespace halvex_test
