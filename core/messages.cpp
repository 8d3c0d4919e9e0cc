#include "core/messages.h"

#include <cstring>

#include "core/vocabulary.h"

namespace halvex {

const char* ErrorMessage(int32_t code) {
    return ResultOf(code).korean;  // CP949 bytes, handed out unconverted
}

void CopyErrorMessage(int32_t code, char* buffer, int32_t bufferSize) {
    if (buffer == nullptr || bufferSize < 1)
        return;
    const char* message = ErrorMessage(code);
    const size_t needed = std::strlen(message) + 1;
    if (needed > static_cast<size_t>(bufferSize)) {
        buffer[0] = '\0';  // no part of a message that does not fit
        return;
    }
    std::memcpy(buffer, message, needed);
}

}  // namespace halvex
