// One non-blocking descriptor of the event loop and the bytes still to be written to it: the
// read and write loops every port, device, client and stdout share.
#pragma once

#include <cstddef>
#include <string>

namespace halvex::sim {

struct Channel {
    enum class ReadResult { Nothing, Data, End, Failed };

    int fd = -1;
    std::string out;

    // Appends everything readable now to `in` (one read only with `once`, for descriptors left
    // blocking). End: the far side closed (after any data read first); Failed: an error, errno
    // kept.
    ReadResult ReadAvailable(std::string* in, bool once = false) const;
    // Writes `out` until it is empty or the descriptor is full; false on an error, errno kept.
    // `chunk` caps each write and `once` stops after the first, for descriptors left blocking.
    bool Flush(size_t chunk = static_cast<size_t>(-1), bool once = false);
    // Writes what the descriptor takes now from `bytes`, behind nothing else; the count taken.
    size_t Offer(const std::string& bytes);
};

}  // namespace halvex::sim
