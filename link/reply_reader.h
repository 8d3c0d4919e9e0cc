// Collects one reply line from a link within a time limit and classifies it.
#pragma once

#include <cstdint>

#include "link/serial_link.h"

namespace halvex {

constexpr int32_t kReplyBufferSize = 256;  // 255 characters and the terminator
constexpr int32_t kDefaultReplyLimitMs = 50;
// How long the line is left to settle after a reply that did not complete within its limit:
// a late reply that arrives meanwhile is discarded with the next command's purge. A reply later
// than this still cannot be told from the next command's.
constexpr int32_t kSettleGuardMs = 80;

// Polls `link` until a line feed arrives, 255 characters are held, or more than `limitMs` have
// passed since the first poll (which always happens). Returns kNoReply when nothing arrived;
// otherwise stores the text in `reply` (256 bytes; up to its first NUL, line feed kept) and the
// count of bytes collected in `replyLength`, and returns the classification. Null out-pointers
// are skipped; the exchange and its result are the same. A reply without its line end holds the
// link's next write off for kSettleGuardMs.
int32_t ReadReplyWithin(SerialLink& link, int32_t limitMs, char* reply, int32_t* replyLength);
int32_t ReadReply(SerialLink& link, char* reply, int32_t* replyLength);

// The line being collected: the part of the reader that knows nothing of ports and clocks.
class ReplyLine {
  public:
    // How many bytes the next read may take: never more than the line can still hold, so the
    // rest of a long reply stays queued for the next command's purge.
    int32_t Room() const { return kReplyBufferSize - 1 - n_; }
    // Appends a chunk up to and including its first line feed (the rest of the chunk is
    // dropped); true once the line is complete: a line feed was seen or the line is full.
    bool Take(const uint8_t* chunk, int32_t count);
    bool Complete() const { return lineEnd_ || Room() <= 0; }
    // kNoReply when nothing was collected; otherwise stores the text up to its first NUL in `reply`
    // (256 bytes) and the count of collected bytes in `replyLength`, either of which may be
    // null, and returns the classification.
    int32_t Finish(char* reply, int32_t* replyLength);

  private:
    char ret_[kReplyBufferSize] = {};
    int32_t n_ = 0;
    bool lineEnd_ = false;
};

// How the reader passes the time until a reply is queued: asleep in the link (the default), or
// polling back to back as the first design did. Only the benchmark switches it, to compare.
void SetSpinningWait(bool spin);

// kFormatError for "Format Error", kCmdError for "CMD Error", kParameterRangeError for
// "Parameter Range Error", else kSuccess. Trailing carriage returns and line feeds are not part
// of the comparison, so a card's error line is an error.
int32_t ClassifyReply(const char* text);

}  // namespace halvex
