// The serial link over a real pseudo-terminal.
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <termios.h>
#include <fcntl.h>
#include <unistd.h>

#include "link/serial_link.h"
#include "support/pty_peer.h"

using halvex::SerialLink;
using halvex_test::PtyPeer;
using halvex_test::SleepFor;

namespace {

std::string ReadAll(SerialLink& link, int capacity = 8192) {
    uint8_t buf[8192];
    int32_t n = 0;
    if (!link.Read(buf, capacity, &n))
        return "";
    return std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
}

TEST(SerialLink, WriteSendsExactlyTheBytes) {
    PtyPeer peer;
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    EXPECT_TRUE(link.Write("OPEN(03,05,07)\n", 15));
    EXPECT_EQ(peer.Received(), "OPEN(03,05,07)\n");
    EXPECT_TRUE(link.Write("", 0));  // nothing to send is a complete write
    EXPECT_TRUE(link.ClosePort());
}

TEST(SerialLink, StaleInputIsGoneAfterAWrite) {
    PtyPeer peer;
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    peer.Send("late reply\n");
    SleepFor(50);
    ASSERT_TRUE(link.Write("X\n", 2));
    SleepFor(50);
    int32_t n = 77;
    uint8_t buf[64];
    EXPECT_FALSE(link.Read(buf, sizeof(buf), &n));
    EXPECT_EQ(n, 77);
}

TEST(SerialLink, ReadWithNothingQueuedLeavesEverythingAlone) {
    PtyPeer peer;
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    uint8_t buf[4] = {1, 2, 3, 4};
    int32_t n = -3;
    EXPECT_FALSE(link.Read(buf, sizeof(buf), &n));
    EXPECT_EQ(n, -3);
    EXPECT_EQ(buf[0], 1);
}

TEST(SerialLink, ReadNeverExceedsItsCapacityAndKeepsTheRestQueued) {
    PtyPeer peer;
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    const std::string burst(300, 'q');
    peer.Send(burst);
    SleepFor(50);
    uint8_t buf[300 + 16];
    std::memset(buf, 0xAA, sizeof(buf));
    int32_t n = 0;
    ASSERT_TRUE(link.Read(buf, 256, &n));
    EXPECT_EQ(n, 256);
    EXPECT_EQ(buf[256], 0xAA) << "wrote past the capacity";
    EXPECT_EQ(ReadAll(link), std::string(44, 'q'));
    peer.Send(burst);
    SleepFor(50);
    EXPECT_EQ(ReadAll(link), burst) << "300 queued bytes come in one read when they fit";
}

TEST(SerialLink, SecondOpenOfAHeldPortFails) {
    PtyPeer peer;
    SerialLink first, second;
    ASSERT_TRUE(first.OpenPort(peer.path().c_str(), 115200));
    EXPECT_FALSE(second.OpenPort(peer.path().c_str(), 115200));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_TRUE(first.ClosePort());
    EXPECT_TRUE(second.OpenPort(peer.path().c_str(), 115200)) << "released by the close";
}

TEST(SerialLink, ClosingANeverOpenedLinkSucceedsTwice) {
    SerialLink link;
    EXPECT_TRUE(link.ClosePort());
    EXPECT_TRUE(link.ClosePort());
    EXPECT_FALSE(link.Write("X\n", 2));
    uint8_t buf[8];
    int32_t n = 0;
    EXPECT_FALSE(link.Read(buf, sizeof(buf), &n));
}

TEST(SerialLink, PortsThatCannotBeOpened) {
    SerialLink link;
    EXPECT_FALSE(link.OpenPort("/nonexistent/tty", 115200));
    EXPECT_FALSE(link.OpenPort("", 115200));
    EXPECT_FALSE(link.OpenPort(nullptr, 115200));
    EXPECT_FALSE(link.OpenPort("/dev/null", 115200)) << "not a terminal";
    EXPECT_FALSE(link.IsOpen());
}

TEST(SerialLink, LineIsRaw8N1At115200WithoutFlowControl) {
    PtyPeer peer;
    SerialLink link;
    ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
    int fd = open(peer.path().c_str(), O_RDWR | O_NOCTTY);  // root may look despite the lock
    ASSERT_GE(fd, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    close(fd);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | ICRNL), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
}

TEST(SerialLink, ReopeningAnOpenLinkReleasesTheOldPort) {
    PtyPeer a, b;
    SerialLink link, other;
    ASSERT_TRUE(link.OpenPort(a.path().c_str(), 115200));
    ASSERT_TRUE(link.OpenPort(b.path().c_str(), 115200));
    EXPECT_TRUE(other.OpenPort(a.path().c_str(), 115200));
    EXPECT_TRUE(link.Write("B\n", 2));
    EXPECT_EQ(b.Received(), "B\n");
}

TEST(SerialLink, CloseAndReopenPutBackTheTerminalSettingsFoundAtOpen) {
    PtyPeer peer;
    int fd = open(peer.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios cooked{};
    ASSERT_EQ(tcgetattr(fd, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO;
    cooked.c_iflag |= ICRNL;
    cfsetospeed(&cooked, B9600);
    cfsetispeed(&cooked, B9600);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &cooked), 0);
    ASSERT_EQ(tcgetattr(fd, &cooked), 0);
    for (int round = 0; round < 2; ++round) {
        SerialLink link;
        ASSERT_TRUE(link.OpenPort(peer.path().c_str(), 115200));
        termios during{};
        ASSERT_EQ(tcgetattr(fd, &during), 0);
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u) << "raw while open";
        if (round == 0) {
            EXPECT_TRUE(link.ClosePort());
        }  // round 1: the link is destroyed while open
    }
    termios after{};
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    close(fd);
    EXPECT_EQ(after.c_lflag, cooked.c_lflag);
    EXPECT_EQ(after.c_iflag, cooked.c_iflag);
    EXPECT_EQ(after.c_oflag, cooked.c_oflag);
    EXPECT_EQ(after.c_cflag, cooked.c_cflag);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
}

}  // namespace
