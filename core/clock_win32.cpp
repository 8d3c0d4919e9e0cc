#include <windows.h>

#include "core/clock.h"

namespace halvex {

int64_t PerfCounter() {
    LARGE_INTEGER v;
    QueryPerformanceCounter(&v);
    return v.QuadPart;
}

int64_t PerfFrequency() {
    LARGE_INTEGER v;
    QueryPerformanceFrequency(&v);
    return v.QuadPart;
}

void SleepMs(int32_t ms) {
    Sleep(ms <= 0 ? 0 : static_cast<DWORD>(ms));
}

}  // namespace halvex
