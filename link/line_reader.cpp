#include "link/line_reader.h"

#include <atomic>

namespace halvex {

namespace {
std::atomic<bool> gSpinningWait{false};
}  // namespace

void SetSpinningWait(bool spin) {
    gSpinningWait = spin;
}

bool ReplyLine::Take(const uint8_t* chunk, int32_t count) {
    // ret_ starts zeroed and only ret_[n_] with n_ < Room's bound is written: always terminated.
    for (int32_t i = 0; i < count && Room() > 0; ++i) {
        ret_[n_++] = static_cast<char>(chunk[i]);
        if (chunk[i] == '\n') {
            lineEnd_ = true;
            break;
        }
    }
    return Complete();
}

LineState CollectLine(SerialLink& link, int32_t limitMs, ReplyLine& line) {
    uint8_t tmp[kReplyBufferSize];
    const double iFreq = static_cast<double>(PerfFrequency());
    const int64_t iStart = PerfCounter();
    for (;;) {
        // The first poll happens whatever the limit; the limit counts from the start.
        int32_t iBufSize = 0;
        if (link.Read(tmp, line.Room(), &iBufSize))
            line.Take(tmp, iBufSize);
        const int64_t iEnd = PerfCounter();
        if (line.Complete())
            break;
        const double elapsedMs = static_cast<double>(iEnd - iStart) / iFreq * 1000.0;
        if (elapsedMs > static_cast<double>(limitMs))
            break;
        // Sleep until input arrives or just past the limit, so the poll after it either
        // finds the reply or ends the exchange.
        if (!gSpinningWait.load(std::memory_order_relaxed))
            link.WaitReadable(static_cast<int32_t>(static_cast<double>(limitMs) - elapsedMs) + 1);
    }
    if (line.Complete())
        return LineState::kComplete;
    link.HoldOff(kSettleGuardMs);
    return line.Length() == 0 ? LineState::kNone : LineState::kPartial;
}

}  // namespace halvex
