// The messages of the result codes (Korean, code page 949 bytes).
#pragma once

#include <cstdint>

#include "core/result_codes.h"

namespace halvex {

// The message of a code; codes outside kSuccess-kUnknownCode get the message of kUnknownCode.
const char* ErrorMessage(int32_t code);

// Copies the message with its terminator when it fits in `bufferSize`, an empty string when
// not; a null buffer or a size below 1 is left alone.
void CopyErrorMessage(int32_t code, char* buffer, int32_t bufferSize);

}  // namespace halvex
