#include "sim_server.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "pty.h"

namespace halvex::sim {

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    int saved = errno;
    char byte = 1;
    ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

}  // namespace

std::string WallClock() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, ts.tv_nsec / 1000000);
    return text;
}

Server::Server(Chassis& chassis, ServerOptions options)
    : chassis_(chassis), options_(std::move(options)), spyRequests_(MakeSpyRequests()) {
    if (!options_.quiet) {
        chassis_.SetTrace([this](const std::string& text) { Trace(text); });
        // Spy entries carry the time their bytes were read, not the time they are printed.
        spyLog_.SetTrace(
            [](const std::string& entry) { std::fprintf(stderr, "%s\n", entry.c_str()); });
    }
    spyLog_.SetLineTimeout(options_.spyLineTimeout);
    stdinOpen_ = options_.stdinControl;
    stdout_.fd = STDOUT_FILENO;
    BindProcessRequests();
}

Server::~Server() {
    chassis_.SetTrace(nullptr);
    Cleanup();
    for (Port& port : ports_)
        CloseSerialDevice(port.device.fd);
    for (auto& client : clients_)
        close(client->io.fd);
    if (listenFd_ >= 0)
        close(listenFd_);
}

bool Server::InstallSignalHandlers(std::string* error) {
    if (pipe(g_signalPipe) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    for (int fd : g_signalPipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void Server::Trace(const std::string& text) const {
    if (!options_.quiet)
        std::fprintf(stderr, "%s %s\n", WallClock().c_str(), text.c_str());
}

bool Server::Start(std::string* error) {
    if (!OpenPorts(error))
        return false;
    if (!options_.linkDir.empty() && !CreateLinks(error))
        return false;
    return options_.controlPort < 0 || Listen(error);
}

std::vector<std::string> Server::Banner() const {
    std::vector<std::string> lines;
    lines.push_back("command-port " + ports_[kCommandPort].pty.slavePath());
    for (int port = 1; port < kPortCount; ++port) {
        if (!ports_[port].active)
            continue;
        char number[8];
        std::snprintf(number, sizeof number, "%02d", port);
        lines.push_back(std::string("monitor-port ") + number + " " + ports_[port].pty.slavePath());
    }
    if (listenFd_ >= 0)
        lines.push_back("control 127.0.0.1:" + std::to_string(boundPort_));
    lines.push_back("ready");
    return lines;
}

// What is due now: the chassis's replies (or the spy's idle lines), then every pending write.
void Server::Service(TimePoint now) {
    if (spying()) {
        spyLog_.Advance(now);
        ReopenDevices(now);
    } else {
        for (const Output& o : chassis_.Advance(now))
            Deliver(o);
    }
    for (int i = 0; i < kPortCount; ++i) {
        if (!ports_[i].io.out.empty())
            FlushPort(i);
        if (!ports_[i].device.out.empty())
            FlushDevice(i, now);
    }
    FlushClients();
    FlushStdout(false);
}

void Server::Watch(int fd, short events, Kind kind, size_t index) {
    fds_.push_back({fd, events, 0});
    watched_.push_back({kind, index});
}

// Fills the poll set; returns when the loop must wake up at the latest.
std::optional<TimePoint> Server::WatchAll(TimePoint now) {
    std::optional<TimePoint> wake = spying() ? spyLog_.NextDeadline() : chassis_.NextDeadline();
    auto wakeBy = [&wake](TimePoint t) {
        if (!wake || t < *wake)
            wake = t;
    };
    fds_.clear();
    watched_.clear();
    Watch(g_signalPipe[0], POLLIN, Kind::Signal, 0);
    for (size_t i = 0; i < ports_.size(); ++i) {
        const Port& port = ports_[i];
        if (!port.active)
            continue;
        if (port.device.fd >= 0) {
            Watch(port.device.fd, port.device.out.empty() ? POLLIN : POLLIN | POLLOUT, Kind::Device,
                  i);
        } else if (!port.devicePath.empty()) {
            wakeBy(port.retryAt);
        }
        if (port.vanished)
            continue;
        if (port.quietUntil > now) {
            wakeBy(port.quietUntil);
            continue;
        }
        Watch(port.io.fd, port.io.out.empty() ? POLLIN : POLLIN | POLLOUT, Kind::Port, i);
    }
    if (listenFd_ >= 0)
        Watch(listenFd_, POLLIN, Kind::Listen, 0);
    for (size_t c = 0; c < clients_.size(); ++c) {
        const Client& client = *clients_[c];
        Watch(client.io.fd,
              static_cast<short>((client.closing ? 0 : POLLIN) |
                                 (client.io.out.empty() ? 0 : POLLOUT)),
              Kind::Client, c);
    }
    if (stdinOpen_)
        Watch(STDIN_FILENO, POLLIN, Kind::Stdin, 0);
    if (!stdout_.out.empty() && !stdoutBroken_)
        Watch(STDOUT_FILENO, POLLOUT, Kind::Stdout, 0);
    return wake;
}

void Server::Serve(const pollfd& fd, const Watched& what, TimePoint now) {
    const short revents = fd.revents;
    const int i = static_cast<int>(what.index);
    switch (what.kind) {
        case Kind::Signal: {
            char drain[64];
            while (read(g_signalPipe[0], drain, sizeof drain) > 0) {
            }
            Trace("signal received, stopping");
            stop_ = true;
            break;
        }
        case Kind::Port:
            if (revents & POLLIN)
                ReadPort(i, now);
            if (revents & POLLOUT)
                FlushPort(i);
            if ((revents & (POLLHUP | POLLERR)) && !(revents & POLLIN)) {
                Trace(PortName(i) + " hang-up: no client holds the port");
                ports_[what.index].quietUntil = now + std::chrono::milliseconds(50);
            }
            break;
        case Kind::Device:
            if (revents & POLLIN)
                ReadDevice(i, now);
            if (revents & POLLOUT)
                FlushDevice(i, now);
            // Whatever it still had was read above.
            if ((revents & (POLLHUP | POLLERR | POLLNVAL)) && ports_[what.index].device.fd >= 0)
                DeviceLost(i, "hang-up", now);
            break;
        case Kind::Listen:
            accept_ = (revents & POLLIN) != 0;
            break;
        case Kind::Client:
            if (revents & (POLLIN | POLLHUP | POLLERR))
                ReadClient(*clients_[what.index]);
            break;
        case Kind::Stdin:
            ReadStdin();
            break;
        case Kind::Stdout:
            FlushStdout(false);
            break;
    }
}

int Server::Run() {
    while (!stop_) {
        Service(Clock::now());
        std::optional<TimePoint> wake = WatchAll(Clock::now());
        int timeoutMs = -1;
        if (wake) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now());
            timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
        }
        if (poll(fds_.data(), fds_.size(), timeoutMs) < 0) {
            if (errno == EINTR)
                continue;
            Trace(std::string("poll: ") + std::strerror(errno));
            return 1;
        }
        const TimePoint now = Clock::now();
        for (size_t k = 0; k < fds_.size(); ++k) {
            if (fds_[k].revents != 0)
                Serve(fds_[k], watched_[k], now);
        }
        // After the clients were served, so their indices above still held.
        if (accept_)
            AcceptClients();
        accept_ = false;
    }
    // Let the reply to "shutdown" reach its client before the sockets close.
    FlushClients();
    FlushStdout(true);
    return 0;
}

}  // namespace halvex::sim
