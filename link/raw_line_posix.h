// The line settings the cards need on a POSIX tty, shared by the library and the simulator's own
// serial ends, so both sides of a test speak the same line.
#pragma once

#include <cstdint>

namespace halvex {

// Raw 8N1 at `baudRate` (115200 for a rate the tty has no constant for), receiver on, modem
// lines ignored, no hardware or software flow control, reads that return at once. False when
// the tty refuses them.
bool ApplyRawLineSettings(int fd, int32_t baudRate);

}  // namespace halvex
