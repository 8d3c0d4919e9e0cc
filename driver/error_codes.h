// Result codes and their messages (Korean, code page 949 bytes).
#pragma once

#include <cstdint>

namespace halvex {

enum ErrorCode : int32_t {
    kSuccess = 0,
    kFormatError = 1,
    kCmdError = 2,
    kParameterRangeError = 3,
    kNoReply = 4,
    kPortOpenError = 5,
    kPortCloseError = 6,
    kNoSuchCard = 7,
    kWrongModel = 8,
    kUnknownCode = 9,
};

// The message of a code; codes outside kSuccess-kUnknownCode get the message of kUnknownCode.
const char* ErrorMessage(int32_t code);

// Copies the message with its terminator when it fits in `bufferSize`, an empty string when
// not; a null buffer or a size below 1 is left alone.
void CopyErrorMessage(int32_t code, char* buffer, int32_t bufferSize);

}  // namespace halvex
