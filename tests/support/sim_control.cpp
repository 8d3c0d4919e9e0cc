#include "support/sim_control.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace halvex_test {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
using Socket = SOCKET;
constexpr int kSendFlags = 0;

void StartSockets() {
    static const bool started = [] {
        WSADATA wsa;
        return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    }();
    (void)started;
}

int WaitReadable(Socket s, int timeoutMs) {
    WSAPOLLFD pfd{};
    pfd.fd = s;
    pfd.events = POLLRDNORM;
    return WSAPoll(&pfd, 1, timeoutMs);
}

void CloseSocket(Socket s) {
    closesocket(s);
}

bool Interrupted() {
    return false;
}
#else
using Socket = int;
// A simulator that has gone must fail the send, not kill the test with SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;

void StartSockets() {}

int WaitReadable(Socket s, int timeoutMs) {
    pollfd pfd{s, POLLIN, 0};
    return poll(&pfd, 1, timeoutMs);
}

void CloseSocket(Socket s) {
    close(s);
}

bool Interrupted() {
    return errno == EINTR;
}
#endif

Socket AsSocket(intptr_t s) {
    return static_cast<Socket>(s);
}

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

bool ControlChannel::Connect(const std::string& hostPort, std::string* error) {
    Close();
    auto fail = [&](const std::string& why) {
        if (error != nullptr)
            *error = why;
        return false;
    };
#if !defined(_WIN32)
    // A machine without a network (the UART guest) reaches the simulator over a serial line.
    if (!hostPort.empty() && hostPort[0] == '/') {
        const int fd = open(hostPort.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (fd < 0 || tcgetattr(fd, &tio) != 0) {
            if (fd >= 0)
                close(fd);
            return fail("cannot open the control line " + hostPort);
        }
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        cfsetspeed(&tio, B115200);
        tcsetattr(fd, TCSANOW, &tio);
        socket_ = fd;
        isLine_ = true;
        return true;
    }
#endif
    const size_t colon = hostPort.rfind(':');
    char* end = nullptr;
    const long port =
        colon == std::string::npos ? -1 : std::strtol(hostPort.c_str() + colon + 1, &end, 10);
    if (port <= 0 || port > 65535 || *end != '\0')
        return fail("bad control address " + hostPort);
    StartSockets();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = inet_addr(hostPort.substr(0, colon).c_str());
#if defined(_WIN32)
    const Socket s = socket(AF_INET, SOCK_STREAM, 0);
    const bool made = s != INVALID_SOCKET;
#else
    // Close-on-exec, so that no simulator started later holds the channel open.
    const Socket s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool made = s >= 0;
#endif
    if (!made)
        return fail("cannot reach the simulator at " + hostPort);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        CloseSocket(s);
        return fail("cannot reach the simulator at " + hostPort);
    }
    socket_ = static_cast<intptr_t>(s);
    return true;
}

bool ControlChannel::Connect(int port, std::string* error) {
    return Connect("127.0.0.1:" + std::to_string(port), error);
}

void ControlChannel::Close() {
    if (IsOpen())
        CloseSocket(AsSocket(socket_));
    socket_ = kNoSocket;
    isLine_ = false;
    buffered_.clear();
}

bool ControlChannel::Send(std::string_view bytes) {
    size_t done = 0;
    while (IsOpen() && done < bytes.size()) {
        const int n = static_cast<int>(Out(bytes.data() + done, bytes.size() - done));
        if (n < 0 && Interrupted())
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return IsOpen();
}

long ControlChannel::Out(const char* bytes, size_t size) {
#if !defined(_WIN32)
    if (isLine_)
        return static_cast<long>(write(static_cast<int>(socket_), bytes, size));
#endif
    return send(AsSocket(socket_), bytes, static_cast<int>(size), kSendFlags);
}

long ControlChannel::In(char* buffer, size_t size) {
#if !defined(_WIN32)
    if (isLine_)
        return static_cast<long>(read(static_cast<int>(socket_), buffer, size));
#endif
    return recv(AsSocket(socket_), buffer, static_cast<int>(size), 0);
}

bool ControlChannel::ReadLine(std::string* line, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t newline;
    while ((newline = buffered_.find('\n')) == std::string::npos) {
        if (!IsOpen())
            return false;
        const int ready =
            WaitReadable(AsSocket(socket_), timeoutMs == kForever ? kForever : MsLeft(deadline));
        if (ready < 0 && Interrupted())
            continue;
        if (ready <= 0)
            return false;
        char buffer[4096];
        const int n = static_cast<int>(In(buffer, sizeof(buffer)));
        if (n < 0 && Interrupted())
            continue;
        if (n <= 0)
            return false;
        buffered_.append(buffer, static_cast<size_t>(n));
    }
    *line = buffered_.substr(0, newline);
    buffered_.erase(0, newline + 1);
    return true;
}

bool ControlChannel::ReadListing(const std::string& reply, std::vector<std::string>* lines,
                                 int timeoutMs) {
    lines->clear();
    const int count = ListingSize(reply);
    for (int i = 0; i < count; ++i) {
        std::string line;
        if (!ReadLine(&line, timeoutMs))
            return false;
        lines->push_back(line);
    }
    return true;
}

int ControlChannel::ListingSize(const std::string& reply) {
    if (reply.rfind("OK ", 0) != 0)
        return -1;
    const char* digits = reply.c_str() + 3;
    char* end = nullptr;
    const long count = std::strtol(digits, &end, 10);
    return end == digits || count < 0 ? -1 : static_cast<int>(count);
}

LogEntry DecodeLogEntry(const std::string& line) {
    const size_t space = line.find(' ');
    return {line.substr(0, space), space == std::string::npos ? "" : Unhex(line.substr(space + 1))};
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

}  // namespace halvex_test
