// Pure parts of signal monitoring: the status byte's decoding and the pause between polls.
#pragma once

#include <cstdint>

#include "halvex.h"

namespace halvex {

constexpr int32_t kSignalChannels = 8;

// Channel i + 1 is active (state 1) when bit i of the status byte is 0.
void DecodeSignalStatus(uint8_t statusByte, SignalStatus (&signalStatus)[kSignalChannels]);

// trunc(interval * 1000 - 10) ms; an interval that is not a number or too short gives 0, and
// one too long for a 32-bit count gives the largest count.
int32_t MonitorPauseMs(double intervalSeconds);

}  // namespace halvex
