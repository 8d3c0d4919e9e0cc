// The platform-independent part of the serial link.
#include "link/serial_link.h"

namespace halvex {

bool SerialLink::Read(uint8_t* dst, int32_t capacity, int32_t* length) {
    if (dst == nullptr || length == nullptr || capacity <= 0)
        return false;
    int32_t dwRead = ReadBytes(dst, capacity < kQueueSize ? capacity : kQueueSize);
    if (dwRead <= 0)
        return false;
    *length = dwRead;
    return true;
}

}  // namespace halvex
