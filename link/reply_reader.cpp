#include "link/reply_reader.h"

#include <atomic>
#include <cstring>

#include "driver/error_codes.h"

namespace halvex {

namespace {
std::atomic<bool> gSpinningWait{false};
}  // namespace

void SetSpinningWait(bool spin) {
    gSpinningWait = spin;
}

int32_t ClassifyReply(const char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        --n;
    auto is = [&](const char* word) {
        return std::strlen(word) == n && std::memcmp(text, word, n) == 0;
    };
    if (is("CMD Error"))
        return kCmdError;
    if (is("Format Error"))
        return kFormatError;
    if (is("Parameter Range Error"))
        return kParameterRangeError;
    return kSuccess;
}

bool ReplyLine::Take(const uint8_t* chunk, int32_t count) {
    for (int32_t i = 0; i < count && Room() > 0; ++i) {
        ret_[n_++] = static_cast<char>(chunk[i]);
        if (chunk[i] == '\n') {
            lineEnd_ = true;
            break;
        }
    }
    return Complete();
}

int32_t ReplyLine::Finish(char* reply, int32_t* replyLength) {
    ret_[n_] = '\0';
    if (n_ == 0)
        return kNoReply;
    if (replyLength != nullptr)
        *replyLength = n_;
    if (reply != nullptr)
        std::memcpy(reply, ret_, std::strlen(ret_) + 1);
    return ClassifyReply(ret_);
}

int32_t ReadReplyWithin(SerialLink& link, int32_t limitMs, char* reply, int32_t* replyLength) {
    ReplyLine line;
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
    if (!line.Complete())
        link.HoldOff(kSettleGuardMs);
    return line.Finish(reply, replyLength);
}

int32_t ReadReply(SerialLink& link, char* reply, int32_t* replyLength) {
    return ReadReplyWithin(link, kDefaultReplyLimitMs, reply, replyLength);
}

}  // namespace halvex
