#include "serial_device.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace halvex::sim {

int OpenSerialDevice(const std::string& path, std::string* error) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return -1;
    }
    auto fail = [&](const char* what) {
        *error = path + ": " + what + ": " + std::strerror(errno);
        close(fd);
        return -1;
    };
    if (!isatty(fd))
        return fail("not a serial port");
    // Exclusive, so neither the station software nor a second spy can share the port unnoticed.
    if (ioctl(fd, TIOCEXCL) != 0)
        return fail("TIOCEXCL");
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ioctl(fd, TIOCNXCL);
        return fail("in use (flock)");
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        ioctl(fd, TIOCNXCL);
        return fail("tcgetattr");
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        ioctl(fd, TIOCNXCL);
        return fail("tcsetattr");
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
