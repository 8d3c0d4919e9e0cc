#include "channel.h"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

namespace halvex::sim {

Channel::ReadResult Channel::ReadAvailable(std::string* in, bool once) const {
    ReadResult result = ReadResult::Nothing;
    char buffer[4096];
    while (fd >= 0) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            in->append(buffer, static_cast<size_t>(n));
            result = ReadResult::Data;
            if (once)
                return result;
        } else if (n == 0) {
            return ReadResult::End;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? result : ReadResult::Failed;
        }
    }
    return result;
}

bool Channel::Flush(size_t chunk, bool once) {
    while (fd >= 0 && !out.empty()) {
        const ssize_t n = write(fd, out.data(), std::min(out.size(), chunk));
        if (n > 0) {
            out.erase(0, static_cast<size_t>(n));
            if (once)
                return true;
        } else if (n == 0) {
            return false;
        } else if (errno != EINTR) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }
    return true;
}

size_t Channel::Offer(const std::string& bytes) {
    size_t taken = 0;
    // Behind bytes the descriptor has not taken yet, none of the offer fits.
    while (fd >= 0 && out.empty() && taken < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + taken, bytes.size() - taken);
        if (n > 0) {
            taken += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return taken;
}

}  // namespace halvex::sim
