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

void SerialLink::HoldOff(int32_t guardMs) {
    holdOffUntil_ = PerfCounter() + PerfFrequency() * guardMs / 1000;
}

bool SerialLink::Settling() const {
    return holdOffUntil_ != 0 && PerfCounter() < holdOffUntil_;
}

bool SerialLink::Write(const void* data, int32_t length) {
    WaitOutHoldOff();
    return WriteNow(data, length);
}

void SerialLink::WaitOutHoldOff() {
    if (holdOffUntil_ == 0)
        return;
    const int64_t left = holdOffUntil_ - PerfCounter();
    holdOffUntil_ = 0;
    if (left > 0)
        SleepMs(static_cast<int32_t>((left * 1000 + PerfFrequency() - 1) / PerfFrequency()));
}

}  // namespace halvex
