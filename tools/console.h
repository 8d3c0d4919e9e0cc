// What the command-line tool needs from the platform: readable messages and Ctrl-C.
#pragma once

#include <string>

#include "halvex.h"

namespace halvexctl {

// The library's messages are code page 949 bytes; the console wants UTF-8.
std::string Cp949ToUtf8(const std::string& text);
// Calls `handler` (from any thread) when the user presses Ctrl-C.
void OnInterrupt(void (*handler)());
// Releases an array from GetHalvexSeries with the allocator the library used.
void ReleaseSeries(CardInfo* records);
// Sleeps the calling thread.
void PauseMs(int ms);

}  // namespace halvexctl
