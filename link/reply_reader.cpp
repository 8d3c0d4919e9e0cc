#include "link/reply_reader.h"

#include <cstring>

namespace halvex {

int32_t ClassifyReply(const char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        --n;
    auto is = [&](const char* word) {
        return std::strlen(word) == n && std::memcmp(text, word, n) == 0;
    };
    if (is("CMD Error"))
        return 2;
    if (is("Format Error"))
        return 1;
    if (is("Parameter Range Error"))
        return 3;
    return 0;
}

int32_t ReadReplyWithin(SerialLink& link, int32_t limitMs, char* reply, int32_t* replyLength) {
    const int32_t kMaxChars = kReplyBufferSize - 1;
    uint8_t tmp[kReplyBufferSize];
    char ret[kReplyBufferSize];
    int32_t n = 0;
    bool lineEnd = false;

    const double iFreq = static_cast<double>(PerfFrequency());
    const int64_t iStart = PerfCounter();
    for (;;) {
        // Never take more than the line can still hold: the rest stays queued for the next
        // command's purge rather than being read and lost here.
        int32_t iBufSize = 0;
        if (link.Read(tmp, kMaxChars - n, &iBufSize)) {
            for (int32_t i = 0; i < iBufSize; ++i) {
                ret[n++] = static_cast<char>(tmp[i]);
                if (tmp[i] == '\n') {
                    lineEnd = true;  // the rest of this chunk is dropped
                    break;
                }
            }
        }
        const int64_t iEnd = PerfCounter();
        if (lineEnd || n >= kMaxChars)
            break;
        const double elapsedMs = static_cast<double>(iEnd - iStart) / iFreq * 1000.0;
        if (elapsedMs > static_cast<double>(limitMs))
            break;
    }
    ret[n] = '\0';
    if (n == 0)
        return 4;

    if (replyLength != nullptr)
        *replyLength = n;
    if (reply != nullptr)
        std::memcpy(reply, ret, std::strlen(ret) + 1);
    return ClassifyReply(ret);
}

int32_t ReadReply(SerialLink& link, char* reply, int32_t* replyLength) {
    return ReadReplyWithin(link, kDefaultReplyLimitMs, reply, replyLength);
}

}  // namespace halvex
