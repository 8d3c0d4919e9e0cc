#include "cards/relay_command.h"

#include <cstdio>
#include <cstring>

namespace halvex {

namespace {

bool Fits(int written, int32_t size) {
    return written > 0 && written < size;
}

}  // namespace

bool FormatRelayCommand(char* buffer, int32_t size, bool close, int32_t card, int32_t field2,
                        int32_t field3) {
    const char* format = close ? "CLOSE(%02d,%02d,%02d)\n" : "OPEN(%02d,%02d,%02d)\n";
    return Fits(std::snprintf(buffer, static_cast<size_t>(size), format, card, field2, field3),
                size);
}

bool FormatHiLoCommand(char* buffer, int32_t size, bool close, int32_t card, int32_t row,
                       int32_t lo) {
    char strhilo[3];
    std::memcpy(strhilo, lo == 0 ? "hi" : "lo", sizeof(strhilo));
    const char* format = close ? "CLOSE(%02d,%02d,%s)\n" : "OPEN(%02d,%02d,%s)\n";
    return Fits(std::snprintf(buffer, static_cast<size_t>(size), format, card, row, strhilo), size);
}

}  // namespace halvex
