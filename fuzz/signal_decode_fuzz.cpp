// The status byte and the pause between polls from fuzzed input: eight channels in order, the
// state the inverse of each bit, and a pause that is never negative however odd the interval.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cards/protocol.h"
#include "monitor/signal_monitor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    SignalStatus status[halvex::kSignalChannels];
    halvex::DecodeSignalStatus(data[0], status);
    for (int i = 0; i < 8; ++i) {
        if (status[i].channel != i + 1 || status[i].state != (((data[0] >> i) & 1) ? 0 : 1))
            std::abort();
    }
    if (size < 9)
        return 0;
    double interval;
    std::memcpy(&interval, data + 1, sizeof(interval));
    const int32_t pause = halvex::MonitorPauseMs(interval);
    if (pause < 0)
        std::abort();
    const double ms = interval * 1000.0 - 10.0;
    if (std::isfinite(ms) && ms >= 0 && ms < 2147483647.0 && pause != static_cast<int32_t>(ms))
        std::abort();
    if (!(ms >= 0) && pause != 0)
        std::abort();
    return 0;
}
