// The result codes, one definition: the public header's constants under the library's names.
#pragma once

#include <cstdint>

#include "halvex.h"

namespace halvex {

enum ErrorCode : int32_t {
    kSuccess = HALVEX_OK,
    kFormatError = HALVEX_FORMAT_ERROR,
    kCmdError = HALVEX_CMD_ERROR,
    kParameterRangeError = HALVEX_PARAMETER_RANGE_ERROR,
    kNoReply = HALVEX_NO_REPLY,
    kPortOpenError = HALVEX_PORT_OPEN_ERROR,
    kPortCloseError = HALVEX_PORT_CLOSE_ERROR,
    kNoSuchCard = HALVEX_NO_SUCH_CARD,
    kWrongModel = HALVEX_WRONG_MODEL,
    kUnknownCode = HALVEX_UNKNOWN_CODE,
};

}  // namespace halvex
