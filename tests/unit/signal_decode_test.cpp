// Decoding of the status byte and the pause between polls.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "cards/protocol.h"
#include "monitor/signal_monitor.h"

namespace {

TEST(SignalDecode, StateIsOneWhereTheBitIsZero) {
    struct Case {
        uint8_t byte;
        int states[8];
    };
    for (const Case& c :
         {Case{0xFE, {1, 0, 0, 0, 0, 0, 0, 0}}, Case{0x00, {1, 1, 1, 1, 1, 1, 1, 1}},
          Case{0xFF, {0, 0, 0, 0, 0, 0, 0, 0}}, Case{0x41, {0, 1, 1, 1, 1, 1, 0, 1}},
          Case{0x80, {1, 1, 1, 1, 1, 1, 1, 0}}}) {
        SignalStatus status[8];
        halvex::DecodeSignalStatus(c.byte, status);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(status[i].channel, i + 1);
            EXPECT_EQ(status[i].state, c.states[i])
                << "byte " << int(c.byte) << " channel " << i + 1;
        }
    }
}

TEST(SignalDecode, PauseIsTheIntervalLessTenMilliseconds) {
    struct Case {
        double interval;
        int32_t pauseMs;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case& c : {Case{1.0, 990}, Case{0.5, 490}, Case{0.0105, 0}, Case{0.011, 1},
                          Case{0.01, 0}, Case{0.0, 0}, Case{-1.0, 0}, Case{nan, 0}, Case{-inf, 0},
                          Case{inf, INT32_MAX}, Case{1e12, INT32_MAX}, Case{3600.0, 3599990}}) {
        EXPECT_EQ(halvex::MonitorPauseMs(c.interval), c.pauseMs) << c.interval;
    }
}

}  // namespace
