// Collects one reply line from a link within a time limit: bytes and lines, no meanings.
#pragma once

#include <cstdint>

#include "link/serial_link.h"

namespace halvex {

constexpr int32_t kReplyBufferSize = 256;  // 255 characters and the terminator
// How long the line is left to settle after a reply that did not complete within its limit:
// a late reply that arrives meanwhile is discarded with the next command's purge. A reply later
// than this still cannot be told from the next command's.
constexpr int32_t kSettleGuardMs = 80;

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
    // The count of bytes collected, and the text, always terminated (a NUL among the bytes
    // ends it early).
    int32_t Length() const { return n_; }
    const char* Text() const { return ret_; }

  private:
    char ret_[kReplyBufferSize] = {};
    int32_t n_ = 0;
    bool lineEnd_ = false;
};

enum class LineState { kNone, kPartial, kComplete };

// Polls `link` until a line feed arrives, 255 characters are held, or more than `limitMs` have
// passed since the first poll (which always happens), collecting into `line`. A line without
// its end holds the link's next write off for kSettleGuardMs.
LineState CollectLine(SerialLink& link, int32_t limitMs, ReplyLine& line);

// How the reader passes the time until a reply is queued: asleep in the link (the default), or
// polling back to back as the first design did. Only the benchmark switches it, to compare.
void SetSpinningWait(bool spin);

}  // namespace halvex
