// POSIX serial link: a tty opened non-blocking and exclusively, raw 8N1 without flow control.
#include "link/serial_link.h"

#include "link/raw_line_posix.h"

#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace halvex {

struct SerialLink::State {
    int fd = -1;
    termios found{};  // the settings at open, put back at close (the tty may be a terminal)
    bool haveFound = false;
    // The low-latency flag this link set, to clear again at close; a driver that knows no
    // such flag (a pseudo-terminal) refuses the request and nothing is changed.
    bool setLowLatency = false;
};

namespace {

int64_t NowMs() {
    return PerfCounter() * 1000 / PerfFrequency();
}

void Release(int fd) {
    ioctl(fd, TIOCNXCL);  // the tty may outlive us in another holder; leave it reopenable
    close(fd);
}

// USB serial adapters hold received bytes for their latency timer (16 ms on FTDI chips)
// unless asked for low latency, which their Linux drivers turn into 1 ms. True when this call
// set the flag.
bool AskLowLatency(int fd) {
#if defined(__linux__)
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0)
        return false;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
#else
    (void)fd;
    return false;
#endif
}

void PutBackLatency(int fd, bool* setLowLatency) {
#if defined(__linux__)
    serial_struct serial{};
    if (*setLowLatency && ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
#else
    (void)fd;
#endif
    *setLowLatency = false;
}

void RestoreSettings(int fd, const termios& found, bool* haveFound) {
    if (*haveFound)
        tcsetattr(fd, TCSANOW, &found);
    *haveFound = false;
}

}  // namespace

SerialLink::SerialLink() : state_(new State) {}

SerialLink::~SerialLink() {
    if (state_->fd >= 0) {
        PutBackLatency(state_->fd, &state_->setLowLatency);
        RestoreSettings(state_->fd, state_->found, &state_->haveFound);
        Release(state_->fd);
    }
}

bool SerialLink::IsOpen() const {
    return state_->fd >= 0;
}

bool SerialLink::OpenPort(const char* portName, int32_t baudRate) {
    if (state_->fd >= 0)
        ClosePort();
    if (portName == nullptr)
        return false;
    int fd = open(portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // TIOCEXCL keeps other users out; the lock also refuses a second open by root or by us.
    if (!isatty(fd) || ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    state_->fd = fd;
    state_->haveFound = tcgetattr(fd, &state_->found) == 0;
    if (!ApplyRawLineSettings(fd, baudRate)) {
        RestoreSettings(state_->fd, state_->found, &state_->haveFound);
        state_->fd = -1;
        Release(fd);
        return false;
    }
    state_->setLowLatency = AskLowLatency(fd);
    return true;
}

bool SerialLink::ClosePort() {
    int fd = state_->fd;
    if (fd < 0)
        return true;
    tcflush(fd, TCIOFLUSH);
    PutBackLatency(fd, &state_->setLowLatency);
    RestoreSettings(state_->fd, state_->found, &state_->haveFound);
    ioctl(fd, TIOCNXCL);
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    state_->fd = -1;
    return close(fd) == 0 || errno == EINTR;
}

bool SerialLink::WriteNow(const void* data, int32_t length) {
    if (state_->fd >= 0)
        tcflush(state_->fd, TCIOFLUSH);
    return WriteBytes(data, length) == length;
}

int32_t SerialLink::WriteBytes(const void* data, int32_t length) {
    int fd = state_->fd;
    if (fd < 0 || length <= 0 || data == nullptr)
        return 0;
    // The same budget as the port's write time-out: 300 ms plus 2 ms a byte.
    const int64_t deadline = NowMs() + 300 + 2 * static_cast<int64_t>(length);
    const auto* p = static_cast<const uint8_t*>(data);
    int32_t dwWritten = 0;
    while (dwWritten < length) {
        ssize_t n = write(fd, p + dwWritten, static_cast<size_t>(length - dwWritten));
        if (n > 0) {
            dwWritten += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        int64_t left = deadline - NowMs();
        if (left <= 0)
            break;
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, static_cast<int>(left));
    }
    return dwWritten;
}

int32_t SerialLink::ReadBytes(uint8_t* buffer, int32_t capacity) {
    int fd = state_->fd;
    if (fd < 0)
        return 0;
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0 || queued <= 0)
        return 0;
    ssize_t n = read(fd, buffer, static_cast<size_t>(capacity));
    return n > 0 ? static_cast<int32_t>(n) : 0;
}

bool SerialLink::WaitReadable(int32_t timeoutMs) {
    const int fd = state_->fd;
    if (fd < 0) {
        // A closed link never delivers: wait the time out idly, so a caller's poll loop
        // does not spin through its whole reply limit.
        SleepMs(timeoutMs);
        return false;
    }
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs < 0 ? 0 : timeoutMs) <= 0)
        return false;
    if ((pfd.revents & POLLIN) != 0)
        return true;
    // A hung-up line reports itself at once; pause rather than spin on it.
    SleepMs(1);
    return false;
}

}  // namespace halvex
