// Many open-discover-close and monitor cycles leave the process holding exactly what it held
// before; the sanitizer builds add their leak check at exit.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "api/api_environment.h"

namespace halvex_test {
namespace {

int Cycles(int otherwise) {
    const char* v = std::getenv("HALVEX_LEAK_CYCLES");
    return v != nullptr ? std::atoi(v) : otherwise;
}

void HALVEX_CALLBACK Count(SignalStatus*, int32_t) {}

class Leaks : public ApiTest {};

TEST_F(Leaks, OpenDiscoverCloseCycles) {
    const char* models[] = {"X16", "X48", "Y48"};
    for (int slot = 1; slot <= 16; ++slot) {
        Sim().Card(slot, models[slot % 3], std::string("HALVEX ") + models[slot % 3] + " LEAK");
    }
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    ASSERT_EQ(A().CloseHalvex(), 0);
    const int before = OpenHandleCount();
    const int cycles = Cycles(1000);
    for (int i = 0; i < cycles; ++i) {
        ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0) << "cycle " << i;
        if (i % 100 == 0) {
            CardInfo* records = nullptr;
            int32_t count = 0;
            A().GetHalvexSeries(&records, &count);
            ReleaseSeries(records);
            ASSERT_EQ(count, 16) << "cycle " << i;
        }
        ASSERT_EQ(A().CloseHalvex(), 0) << "cycle " << i;
    }
    const int after = SettledHandleCount(before);
    EXPECT_LE(after, before + kHandleCountNoise) << "after " << cycles << " cycles";
    std::printf("open-discover-close cycles: %d, handles before %d, after %d\n", cycles, before,
                after);
}

TEST_F(Leaks, MonitorBeginEndCycles) {
    OpenWithNoSilentSlot("3:X16:HALVEX X16 LEAK;5:Y48:HALVEX Y48 LEAK");
    auto cycle = [](int i) {
        ASSERT_EQ(A().BeginX16SignalMonitoring(3, MonitorPort(3).c_str(), 0.01, &Count), 0) << i;
        ASSERT_EQ(A().BeginY48SignalMonitoring(5, MonitorPort(5).c_str(), 0.01, &Count), 0) << i;
        ASSERT_EQ(A().EndX16SignalMonitoring(3), 0) << i;
        ASSERT_EQ(A().EndY48SignalMonitoring(5), 0) << i;
        int32_t value = 0;
        ASSERT_EQ(A().GetX16SignalMonitoringData(3, MonitorPort(3).c_str(), &value), 0) << i;
    };
    // The first threads of a process make the runtime set up what it keeps for good.
    for (int i = 0; i < 3; ++i)
        cycle(-1);
    const int before = OpenHandleCount();
    // Enough rounds that one handle kept per round stands above the noise allowed.
    const int cycles = std::max(Cycles(1000) / 10, 4 * kHandleCountNoise);
    for (int i = 0; i < cycles; ++i)
        cycle(i);
    const int after = SettledHandleCount(before);
    EXPECT_LE(after, before + kHandleCountNoise) << "after " << cycles << " monitor cycles";
    std::printf("monitor cycles: %d, handles before %d, after %d\n", cycles, before, after);
}

}  // namespace
}  // namespace halvex_test
