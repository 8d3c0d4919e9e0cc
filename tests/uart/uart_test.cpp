// What only a real serial driver shows: the line settings the 8250 driver holds while the library
// has the port, and what is left when it lets go, a second open of the same UART, and the
// simulator hanging up in the middle of an exchange. Runs in the UART guest after the API cases.
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "api/api_environment.h"

namespace halvex_test {
namespace {

// A descriptor of our own on the port, held across the library's open and close; it does not
// change the settings.
class Observer {
  public:
    explicit Observer(const std::string& path)
        : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~Observer() {
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const { return fd_; }
    termios Settings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(fd_, &t), 0);
        return t;
    }

  private:
    int fd_;
};

std::string Describe(const termios& t) {
    char text[160];
    std::snprintf(text, sizeof text, "ispeed %u ospeed %u iflag %#o oflag %#o cflag %#o lflag %#o",
                  static_cast<unsigned>(cfgetispeed(&t)), static_cast<unsigned>(cfgetospeed(&t)),
                  t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag);
    return text;
}

class Uart : public ApiTest {};

TEST_F(Uart, HeldAt115200EightNoneOneRawWithoutFlowControlAndGivenBackAsFound) {
    Observer port(TheSetup().commandPort);
    ASSERT_GE(port.fd(), 0) << TheSetup().commandPort;
    // Settings the library must change in every respect it cares about: 9600 7E2, a cooked
    // terminal with echo and both kinds of flow control.
    termios found = port.Settings();
    cfsetspeed(&found, B9600);
    found.c_cflag = (found.c_cflag & ~(CSIZE | CLOCAL)) | CS7 | PARENB | CSTOPB | CRTSCTS | CREAD;
    found.c_iflag |= IXON | IXOFF | ICRNL;
    found.c_oflag |= OPOST | ONLCR;
    found.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    ASSERT_EQ(tcsetattr(port.fd(), TCSANOW, &found), 0);
    found = port.Settings();

    Sim().Card(3, "X16", "HALVEX X16 UART");
    ASSERT_EQ(A().OpenHalvex(TheSetup().commandPort.c_str()), 0);
    EXPECT_EQ(A().CloseX16GPRelay(3, 7), 0);
    const termios held = port.Settings();
    std::printf("[ line     ] while held: %s\n", Describe(held).c_str());
    // The driver's low-latency flag: asked for while the library holds the port, off again after.
    serial_struct serial{};
    ASSERT_EQ(ioctl(port.fd(), TIOCGSERIAL, &serial), 0);
    std::printf("[ line     ] TIOCGSERIAL type %d flags %#x\n", serial.type, serial.flags);
    EXPECT_NE(serial.flags & ASYNC_LOW_LATENCY, 0);
    EXPECT_EQ(cfgetispeed(&held), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&held), static_cast<speed_t>(B115200));
    EXPECT_EQ(held.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(held.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u) << "parity, 2 stop bits or RTS/CTS";
    EXPECT_EQ(held.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(held.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(held.c_oflag & OPOST, 0u);
    EXPECT_EQ(held.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);

    ASSERT_EQ(A().CloseHalvex(), 0);
    const termios after = port.Settings();
    EXPECT_EQ(Describe(after), Describe(found));
    EXPECT_EQ(std::memcmp(after.c_cc, found.c_cc, sizeof found.c_cc), 0);
    ASSERT_EQ(ioctl(port.fd(), TIOCGSERIAL, &serial), 0);
    EXPECT_EQ(serial.flags & ASYNC_LOW_LATENCY, 0);
}

TEST_F(Uart, SecondOpenOfTheCommandUartIsRefused) {
    OpenWith("3:X16:HALVEX X16 UART");
    int32_t value = -1;
    EXPECT_EQ(A().GetX16SignalMonitoringData(3, TheSetup().commandPort.c_str(), &value), 5);
    EXPECT_EQ(A().CloseX16GPRelay(3, 2), 0) << "the held port still works";
}

// Last: the command UART's far end is gone for good (the guest cannot see a fresh one).
TEST_F(Uart, ZzHangUpMidExchangeGivesFour) {
    OpenWith("3:X16:HALVEX X16 UART");
    Sim().Vanish("cmd", true);
    int32_t result = -1;
    const double ms = MillisecondsOf([&] { result = A().CloseX16GPRelay(3, 7); });
    EXPECT_EQ(result, 4);
    EXPECT_LT(ms, 2000.0);
    EXPECT_EQ(Sim().Request("relays 3"), "OK gp:7 ops:1") << "the command reached the card";
    EXPECT_EQ(A().CloseX16PullUpRelay(3), 4);
    EXPECT_EQ(A().CloseHalvex(), 0);
}

}  // namespace
}  // namespace halvex_test
