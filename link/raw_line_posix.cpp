#include "link/raw_line_posix.h"

#include <termios.h>

namespace halvex {

namespace {

speed_t SpeedFor(int32_t baudRate) {
    switch (baudRate) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 230400:
            return B230400;
        default:
            return B115200;
    }
}

}  // namespace

bool ApplyRawLineSettings(int fd, int32_t baudRate) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);  // no echo either: an echo would turn every reply into a command
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, SpeedFor(baudRate));
    cfsetospeed(&tio, SpeedFor(baudRate));
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace halvex
