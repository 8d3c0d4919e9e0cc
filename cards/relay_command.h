// Text of the relay commands: VERB(card,field2,field3) and a line feed, numbers as %02d.
#pragma once

#include <cstdint>

namespace halvex {

// Relay groups and the fixed subcodes of the single relays.
enum RelayGroup : int32_t { kGPGroup = 10, kExtGPGroup = 20, kPsGroup = 30, kDischargeGroup = 40 };
enum SingleRelay : int32_t { kPullUp = 1, kTestProbe = 2, kPullDown = 3, kGround = 4 };
constexpr int32_t kSingleRelayGroup = 50;

// "CLOSE(%02d,%02d,%02d)\n" or the OPEN form into `buffer` of `size` bytes. False, with nothing
// usable in the buffer, when the line would not fit: only numbers of many digits can do that.
bool FormatRelayCommand(char* buffer, int32_t size, bool close, int32_t card, int32_t field2,
                        int32_t field3);
// "CLOSE(%02d,%02d,hi)\n" for lo == 0, "...lo)\n" for any other lo, or the OPEN form.
bool FormatHiLoCommand(char* buffer, int32_t size, bool close, int32_t card, int32_t row,
                       int32_t lo);

}  // namespace halvex
