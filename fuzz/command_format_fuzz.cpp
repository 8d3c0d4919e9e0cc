// Relay command lines from fuzzed integers: never past the 30-byte buffer, refused exactly when
// the line would exceed 29 characters, and otherwise the numbers read back as given.
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cards/protocol.h"

namespace {
int32_t Take(const uint8_t*& p, size_t& left) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        v = v << 8 | (left > 0 ? *p : 0);
        if (left > 0) {
            ++p;
            --left;
        }
    }
    return static_cast<int32_t>(v);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* p = data;
    size_t left = size;
    const bool close = left > 0 && (*p & 1);
    const int32_t card = 1 + (left > 0 ? (*p >> 1) % 16 : 0);
    if (left > 0) {
        ++p;
        --left;
    }
    const int32_t a = Take(p, left), b = Take(p, left);

    char buf[40];
    std::memset(buf, 0x5a, sizeof(buf));
    char wide[96];
    const int full =
        std::snprintf(wide, sizeof(wide),
                      close ? "CLOSE(%02d,%02d,%02d)\n" : "OPEN(%02d,%02d,%02d)\n", card, a, b);
    const bool fits = halvex::FormatRelayCommand(buf, 30, close, card, a, b);
    if (buf[30] != 0x5a || fits != (full <= 29))
        std::abort();
    if (fits) {
        int32_t c2 = 0, a2 = 0, b2 = 0;
        const char* format = close ? "CLOSE(%" SCNd32 ",%" SCNd32 ",%" SCNd32 ")"
                                   : "OPEN(%" SCNd32 ",%" SCNd32 ",%" SCNd32 ")";
        if (std::sscanf(buf, format, &c2, &a2, &b2) != 3 || c2 != card || a2 != a || b2 != b)
            std::abort();
        if (std::strcmp(buf, wide) != 0)
            std::abort();
    }

    std::memset(buf, 0x5a, sizeof(buf));
    if (!halvex::FormatHiLoCommand(buf, 30, close, card, a, b))
        std::abort();  // always fits
    if (buf[30] != 0x5a)
        std::abort();
    const size_t n = std::strlen(buf);
    if (n > 29 || buf[n - 1] != '\n' || std::strcmp(buf + n - 4, b == 0 ? "hi)\n" : "lo)\n"))
        std::abort();
    return 0;
}
