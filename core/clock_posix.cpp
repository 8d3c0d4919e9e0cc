#include <cerrno>
#include <ctime>

#include "core/clock.h"

namespace halvex {

int64_t PerfCounter() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t PerfFrequency() {
    return 1000000000;
}

void SleepMs(int32_t ms) {
    if (ms <= 0)
        return;
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace halvex
