#include "pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace halvex::sim {

PseudoTerminal::~PseudoTerminal() {
    Close();
}

bool PseudoTerminal::Open(std::string* error) {
    Close();
    auto fail = [this, error](const char* what) {
        if (error != nullptr)
            *error = std::string(what) + ": " + std::strerror(errno);
        Close();
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0)
        return fail("posix_openpt");
    if (grantpt(master_) != 0)
        return fail("grantpt");
    if (unlockpt(master_) != 0)
        return fail("unlockpt");
    const char* name = ptsname(master_);
    if (name == nullptr)
        return fail("ptsname");
    slavePath_ = name;
    // The loop must never block on one port.
    int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0)
        return fail("fcntl");
    fcntl(master_, F_SETFD, FD_CLOEXEC);

    // O_NOCTTY: the port must never become our controlling terminal.
    slaveKeeper_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveKeeper_ < 0)
        return fail("open slave");
    termios tio{};
    if (tcgetattr(slaveKeeper_, &tio) != 0)
        return fail("tcgetattr");
    // Raw and without echo: an echo would send our own replies back to us as commands.
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(slaveKeeper_, TCSANOW, &tio) != 0)
        return fail("tcsetattr");
    return true;
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

}  // namespace halvex::sim
