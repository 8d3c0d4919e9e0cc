#include "pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link/raw_line_posix.h"

namespace halvex::sim {

namespace {

// The simulator's ends are set as the library sets its own: raw 115200 8N1.
bool SetRaw(int fd) {
    return ApplyRawLineSettings(fd, 115200);
}

}  // namespace

bool PseudoTerminal::Open(std::string* error) {
    Close();
    auto fail = [this, error](const char* what) {
        if (error != nullptr)
            *error = std::string(what) + ": " + std::strerror(errno);
        Close();
        return false;
    };
    // O_NOCTTY: the port must never become our controlling terminal.
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        return fail("posix_openpt");
    const char* name = ptsname(master_);
    if (name == nullptr)
        return fail("ptsname");
    slavePath_ = name;
    slaveKeeper_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveKeeper_ < 0)
        return fail("open slave");
    return SetRaw(slaveKeeper_) || fail("termios");
}

void PseudoTerminal::Close() {
    if (slaveKeeper_ >= 0)
        close(slaveKeeper_);
    if (master_ >= 0)
        close(master_);
    slaveKeeper_ = -1;
    master_ = -1;
    slavePath_.clear();
}

int OpenSerialDevice(const std::string& path, std::string* error) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return -1;
    }
    const char* failed = !isatty(fd) ? "not a serial port"
                         // Exclusive, so no second program shares the port unnoticed.
                         : ioctl(fd, TIOCEXCL) != 0          ? "TIOCEXCL"
                         : flock(fd, LOCK_EX | LOCK_NB) != 0 ? "in use (flock)"
                         : !SetRaw(fd)                       ? "termios"
                                                             : nullptr;
    if (failed != nullptr) {
        *error = path + ": " + failed + ": " + std::strerror(errno);
        CloseSerialDevice(fd);
        return -1;
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

void CloseSerialDevice(int fd) {
    if (fd < 0)
        return;
    ioctl(fd, TIOCNXCL);
    close(fd);
}

}  // namespace halvex::sim
