#include "sim_server.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace halvex::sim {

namespace {

constexpr size_t kMaxPortBacklog = 1 << 20;
constexpr size_t kMaxRequestLine = 1 << 20;
constexpr size_t kMaxClients = 32;

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    int saved = errno;
    char byte = 1;
    ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

std::string Timestamp() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, ts.tv_nsec / 1000000);
    return text;
}

bool MakeDirectories(const std::string& path, std::string* error) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "mkdir " + prefix + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = path + " is not a directory";
        return false;
    }
    return true;
}

std::string LinkName(int port) {
    if (port == kCommandPort)
        return "command";
    char name[16];
    std::snprintf(name, sizeof name, "monitor-%02d", port);
    return name;
}

}  // namespace

Server::Server(Chassis& chassis, ServerOptions options)
    : chassis_(chassis), options_(std::move(options)) {
    if (!options_.quiet)
        chassis_.SetTrace([this](const std::string& text) { Trace(text); });
}

Server::~Server() {
    chassis_.SetTrace(nullptr);
    Cleanup();
    for (auto& client : clients_)
        close(client->fd);
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
    if (options_.quiet)
        return;
    std::fprintf(stderr, "%s %s\n", Timestamp().c_str(), text.c_str());
}

bool Server::Start(std::string* error) {
    for (Port& port : ports_) {
        if (!port.pty.Open(error))
            return false;
    }
    if (!options_.linkDir.empty() && !CreateLinks(error))
        return false;
    if (options_.controlPort >= 0 && !Listen(error))
        return false;
    return true;
}

bool Server::CreateLinks(std::string* error) {
    std::string dir = options_.linkDir;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (!MakeDirectories(dir, error))
        return false;
    for (int port = 0; port < kPortCount; ++port) {
        std::string path = dir + "/" + LinkName(port);
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0) {
            // A link left by an earlier run is ours to replace; anything else is not.
            if (!S_ISLNK(st.st_mode)) {
                *error = path + " exists and is not a symlink";
                return false;
            }
            unlink(path.c_str());
        }
        if (symlink(ports_[port].pty.slavePath().c_str(), path.c_str()) != 0) {
            *error = "symlink " + path + ": " + std::strerror(errno);
            return false;
        }
        links_.push_back(path);
    }
    return true;
}

void Server::Cleanup() {
    for (size_t i = 0; i < links_.size(); ++i) {
        // Only remove a link that still points at our port: a newer run may have replaced it.
        char target[4096];
        ssize_t n = readlink(links_[i].c_str(), target, sizeof target - 1);
        if (n < 0)
            continue;
        target[n] = '\0';
        for (const Port& port : ports_) {
            if (port.pty.slavePath() == target) {
                unlink(links_[i].c_str());
                break;
            }
        }
    }
    links_.clear();
}

bool Server::Listen(std::string* error) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int yes = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(options_.controlPort));
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 8) != 0) {
        *error =
            "control port " + std::to_string(options_.controlPort) + ": " + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    boundPort_ = ntohs(addr.sin_port);
    return true;
}

std::vector<std::string> Server::Banner() const {
    std::vector<std::string> lines;
    lines.push_back("command-port " + ports_[kCommandPort].pty.slavePath());
    for (int port = 1; port < kPortCount; ++port) {
        char number[8];
        std::snprintf(number, sizeof number, "%02d", port);
        lines.push_back(std::string("monitor-port ") + number + " " + ports_[port].pty.slavePath());
    }
    if (listenFd_ >= 0)
        lines.push_back("control 127.0.0.1:" + std::to_string(boundPort_));
    lines.push_back("ready");
    return lines;
}

void Server::ReadPort(int index, TimePoint now) {
    Port& port = ports_[index];
    char buffer[4096];
    while (true) {
        ssize_t n = read(port.pty.master(), buffer, sizeof buffer);
        if (n > 0) {
            chassis_.Receive(index, std::string_view(buffer, static_cast<size_t>(n)), now);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // EIO would mean no slave is open, which the kept slave descriptor prevents;
            // back off instead of spinning if it happens anyway.
            Trace(PortName(index) + " hang-up: " + std::strerror(errno));
            port.quietUntil = now + std::chrono::milliseconds(50);
        }
        return;
    }
}

void Server::FlushPort(int index) {
    Port& port = ports_[index];
    while (!port.out.empty()) {
        ssize_t n = write(port.pty.master(), port.out.data(), port.out.size());
        if (n > 0) {
            port.out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        Trace(PortName(index) + " write failed (" + std::strerror(errno) + "), reply dropped");
        port.out.clear();
        return;
    }
}

void Server::AcceptClients() {
    while (true) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (clients_.size() >= kMaxClients) {
            close(fd);
            continue;
        }
        auto client = std::make_unique<Client>();
        client->fd = fd;
        clients_.push_back(std::move(client));
        Trace("ctl client connected");
    }
}

std::string Server::HandleRequest(const std::string& line) {
    std::string request = line;
    while (!request.empty() && (request.back() == '\r' || request.back() == ' ')) {
        request.pop_back();
    }
    Trace("ctl <- " + Printable(request));
    if (request == "shutdown") {
        stop_ = true;
        return "OK\n";
    }
    if (request == "ports") {
        std::string reply = "OK";
        for (const Port& port : ports_)
            reply += " " + port.pty.slavePath();
        return reply + "\n";
    }
    return chassis_.Control(request);
}

void Server::ReadClient(Client& client) {
    char buffer[4096];
    while (true) {
        ssize_t n = read(client.fd, buffer, sizeof buffer);
        if (n > 0) {
            client.in.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            client.closing = true;
        break;
    }
    size_t newline;
    while ((newline = client.in.find('\n')) != std::string::npos) {
        std::string line = client.in.substr(0, newline);
        client.in.erase(0, newline + 1);
        client.out += HandleRequest(line);
    }
    if (client.in.size() > kMaxRequestLine) {
        client.out += "ERR request too long\n";
        client.in.clear();
        client.closing = true;
    }
}

void Server::FlushClient(Client& client) {
    while (!client.out.empty()) {
        ssize_t n = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            client.out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        client.out.clear();
        client.closing = true;
        return;
    }
}

int Server::Run() {
    std::vector<pollfd> fds;
    while (!stop_) {
        TimePoint now = Clock::now();
        for (Output& o : chassis_.Advance(now)) {
            Port& port = ports_[o.port];
            if (port.out.size() + o.bytes.size() > kMaxPortBacklog) {
                Trace(PortName(o.port) + " nobody reads this port, reply dropped");
                continue;
            }
            port.out += o.bytes;
        }
        for (int i = 0; i < kPortCount; ++i) {
            if (!ports_[i].out.empty())
                FlushPort(i);
        }
        for (auto& client : clients_)
            FlushClient(*client);
        clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                      [this](const std::unique_ptr<Client>& c) {
                                          if (!c->closing || !c->out.empty())
                                              return false;
                                          close(c->fd);
                                          Trace("ctl client disconnected");
                                          return true;
                                      }),
                       clients_.end());

        std::optional<TimePoint> wake = chassis_.NextDeadline();
        fds.clear();
        fds.push_back({g_signalPipe[0], POLLIN, 0});
        std::array<int, kPortCount> portSlot{};
        for (int i = 0; i < kPortCount; ++i) {
            portSlot[i] = -1;
            if (ports_[i].quietUntil > now) {
                if (!wake || ports_[i].quietUntil < *wake)
                    wake = ports_[i].quietUntil;
                continue;
            }
            short events = POLLIN;
            if (!ports_[i].out.empty())
                events |= POLLOUT;
            portSlot[i] = static_cast<int>(fds.size());
            fds.push_back({ports_[i].pty.master(), events, 0});
        }
        size_t listenSlot = fds.size();
        if (listenFd_ >= 0)
            fds.push_back({listenFd_, POLLIN, 0});
        size_t firstClient = fds.size();
        for (auto& client : clients_) {
            short events = client->closing ? 0 : POLLIN;
            if (!client->out.empty())
                events |= POLLOUT;
            fds.push_back({client->fd, events, 0});
        }

        int timeoutMs = -1;
        if (wake) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now());
            timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
        }
        int ready = poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            Trace(std::string("poll: ") + std::strerror(errno));
            return 1;
        }
        now = Clock::now();
        if (fds[0].revents != 0) {
            char drain[64];
            while (read(g_signalPipe[0], drain, sizeof drain) > 0) {
            }
            Trace("signal received, stopping");
            stop_ = true;
        }
        for (int i = 0; i < kPortCount; ++i) {
            if (portSlot[i] < 0)
                continue;
            short revents = fds[static_cast<size_t>(portSlot[i])].revents;
            if (revents & POLLIN)
                ReadPort(i, now);
            if (revents & POLLOUT)
                FlushPort(i);
            if ((revents & (POLLHUP | POLLERR)) && !(revents & POLLIN)) {
                Trace(PortName(i) + " hang-up: no client holds the port");
                ports_[i].quietUntil = now + std::chrono::milliseconds(50);
            }
        }
        if (listenFd_ >= 0 && (fds[listenSlot].revents & POLLIN))
            AcceptClients();
        for (size_t c = 0; c < clients_.size() && firstClient + c < fds.size(); ++c) {
            short revents = fds[firstClient + c].revents;
            if (revents & (POLLIN | POLLHUP | POLLERR))
                ReadClient(*clients_[c]);
            if (revents & POLLOUT)
                FlushClient(*clients_[c]);
        }
    }
    // Let the reply to "shutdown" reach its client before the sockets close.
    for (auto& client : clients_)
        FlushClient(*client);
    return 0;
}

}  // namespace halvex::sim
