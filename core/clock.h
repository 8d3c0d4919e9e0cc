// Time for every layer: a monotonic counter for limits and a sleep for pauses.
#pragma once

#include <cstdint>

namespace halvex {

// The platform's high-resolution monotonic counter and its frequency in counts per second.
int64_t PerfCounter();
int64_t PerfFrequency();
// Sleeps the calling thread; 0 or less yields at most.
void SleepMs(int32_t ms);

}  // namespace halvex
