// Collects one reply line from a link within a time limit and classifies it.
#pragma once

#include <cstdint>

#include "link/serial_link.h"

namespace halvex {

constexpr int32_t kReplyBufferSize = 256;  // 255 characters and the terminator
constexpr int32_t kDefaultReplyLimitMs = 50;

// Polls `link` until a line feed arrives, 255 characters are held, or more than `limitMs` have
// passed since the first poll (which always happens). Returns 4 when nothing arrived; otherwise
// stores the text in `reply` (256 bytes; up to its first NUL, line feed kept) and the count of
// bytes collected in `replyLength`, and returns the classification. Null out-pointers are
// skipped; the exchange and its result are the same.
int32_t ReadReplyWithin(SerialLink& link, int32_t limitMs, char* reply, int32_t* replyLength);
int32_t ReadReply(SerialLink& link, char* reply, int32_t* replyLength);

// 1 "Format Error", 2 "CMD Error", 3 "Parameter Range Error", else 0. Trailing carriage
// returns and line feeds are not part of the comparison, so a card's error line is an error.
int32_t ClassifyReply(const char* text);

}  // namespace halvex
