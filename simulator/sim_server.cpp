#include "sim_server.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <climits>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial_device.h"

namespace halvex::sim {

namespace {

constexpr size_t kMaxPortBacklog = 1 << 20;
constexpr size_t kMaxRequestLine = 1 << 20;
constexpr size_t kMaxClients = 32;
// How often a spied device that went away is looked for again.
constexpr std::chrono::milliseconds kDeviceRetry(500);

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
    if (!options_.quiet) {
        chassis_.SetTrace([this](const std::string& text) { Trace(text); });
        // Spy entries carry the time their bytes were read, not the time they are printed.
        spyLog_.SetTrace(
            [](const std::string& entry) { std::fprintf(stderr, "%s\n", entry.c_str()); });
    }
    spyLog_.SetLineTimeout(options_.spyLineTimeout);
    stdinOpen_ = options_.stdinControl;
}

Server::~Server() {
    chassis_.SetTrace(nullptr);
    Cleanup();
    for (Port& port : ports_)
        CloseSerialDevice(port.deviceFd);
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
    for (int i = 0; i < kPortCount; ++i) {
        Port& port = ports_[i];
        if (spying()) {
            port.devicePath = options_.spyDevices[i];
            port.active = !port.devicePath.empty();
        }
        if (!port.active)
            continue;
        if (!port.pty.Open(error))
            return false;
        if (!port.devicePath.empty()) {
            port.deviceFd = OpenSerialDevice(port.devicePath, error);
            if (port.deviceFd < 0)
                return false;
        }
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
    linkDir_ = dir;
    for (int port = 0; port < kPortCount; ++port) {
        if (!ports_[port].active)
            continue;
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
        ports_[port].linkTarget = ports_[port].pty.slavePath();
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
            // A vanished port's link still points at its old path, and is still ours.
            if (port.active && port.linkTarget == target) {
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

void Server::ReadPort(int index, TimePoint now) {
    Port& port = ports_[index];
    char buffer[4096];
    while (!port.vanished) {
        ssize_t n = read(port.pty.master(), buffer, sizeof buffer);
        if (n > 0) {
            std::string_view bytes(buffer, static_cast<size_t>(n));
            if (!spying()) {
                const size_t lineEnd = bytes.find('\n');
                if (port.vanishAfterLine && lineEnd != std::string_view::npos) {
                    // The line reaches the card, the port goes before anything can answer.
                    chassis_.Receive(index, bytes.substr(0, lineEnd + 1), now);
                    Vanish(index);
                    return;
                }
                chassis_.Receive(index, bytes, now);
                continue;
            }
            // Forwarded at once, whole line or not; the log cuts lines on its own.
            if (port.deviceFd >= 0) {
                if (port.deviceOut.size() + bytes.size() > kMaxPortBacklog) {
                    Trace(PortName(index) + " device does not take bytes, dropped");
                } else {
                    port.deviceOut.append(bytes);
                    FlushDevice(index, now);
                }
            } else {
                Trace(PortName(index) + " device " + port.devicePath + " not open, bytes dropped");
            }
            spyLog_.Record(index, Direction::ToChassis, bytes, now, Timestamp());
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
    if (port.vanished) {
        port.out.clear();
        return;
    }
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

void Server::QueueForPort(int index, const std::string& bytes) {
    Port& port = ports_[index];
    if (port.vanished) {
        Trace(PortName(index) + " has vanished, reply dropped");
        return;
    }
    if (port.out.size() + bytes.size() > kMaxPortBacklog) {
        Trace(PortName(index) + " nobody reads this port, reply dropped");
        return;
    }
    port.out += bytes;
}

void Server::OfferToPort(int index, const std::string& bytes) {
    Port& port = ports_[index];
    if (port.vanished) {
        Trace(PortName(index) + " has vanished, reply dropped");
        return;
    }
    FlushPort(index);
    size_t taken = 0;
    // Behind bytes the port has not taken yet, none of the offer fits.
    while (port.out.empty() && taken < bytes.size()) {
        ssize_t n = write(port.pty.master(), bytes.data() + taken, bytes.size() - taken);
        if (n > 0) {
            taken += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    if (taken < bytes.size()) {
        Trace(PortName(index) + " overrun: " + std::to_string(bytes.size() - taken) + " of " +
              std::to_string(bytes.size()) + " bytes lost");
    }
}

std::string Server::PortRequest(const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    const bool vanish = verb == "vanish";
    const std::string usage =
        vanish ? "ERR usage: vanish cmd|monNN [after-line]\n" : "ERR usage: replug cmd|monNN\n";
    if (words.size() < 2 || words.size() > (vanish ? 3u : 2u))
        return usage;
    if (words.size() == 3 && words[2] != "after-line")
        return usage;
    int index = -1;
    for (int i = 0; i < kPortCount; ++i) {
        if (PortName(i) == words[1])
            index = i;
    }
    if (index < 0)
        return usage;
    Port& port = ports_[index];
    if (vanish) {
        if (port.vanished)
            return "ERR " + words[1] + " has vanished already\n";
        if (words.size() == 3) {
            port.vanishAfterLine = true;
            Trace(PortName(index) + " vanishes after its next line");
        } else {
            Vanish(index);
        }
        return "OK\n";
    }
    if (!port.vanished)
        return "ERR " + words[1] + " has not vanished\n";
    std::string error;
    if (!Replug(index, &error))
        return "ERR replug failed: " + error + "\n";
    return "OK " + port.pty.slavePath() + "\n";
}

void Server::Vanish(int index) {
    Port& port = ports_[index];
    // Closing the master hangs up whoever holds the slave and removes its device node.
    port.pty.Close();
    port.out.clear();
    port.vanished = true;
    port.vanishAfterLine = false;
    Trace(PortName(index) + " vanished");
}

bool Server::Replug(int index, std::string* error) {
    Port& port = ports_[index];
    if (!port.pty.Open(error))
        return false;
    port.vanished = false;
    port.quietUntil = {};
    if (!linkDir_.empty() && !PointLink(index, error))
        return false;
    Trace(PortName(index) + " plugged in again at " + port.pty.slavePath());
    return true;
}

void Server::ReplugVanished() {
    for (int i = 0; i < kPortCount; ++i) {
        ports_[i].vanishAfterLine = false;
        if (!ports_[i].vanished)
            continue;
        std::string error;
        if (!Replug(i, &error))
            Trace(PortName(i) + " replug failed: " + error);
    }
}

bool Server::PointLink(int index, std::string* error) {
    Port& port = ports_[index];
    const std::string path = linkDir_ + "/" + LinkName(index);
    const std::string fresh = linkDir_ + "/." + LinkName(index) + ".new";
    unlink(fresh.c_str());
    // Renamed over the old link, so the path never goes missing for a reader in between.
    if (symlink(port.pty.slavePath().c_str(), fresh.c_str()) != 0 ||
        rename(fresh.c_str(), path.c_str()) != 0) {
        *error = "link " + path + ": " + std::strerror(errno);
        unlink(fresh.c_str());
        return false;
    }
    port.linkTarget = port.pty.slavePath();
    return true;
}

void Server::ReadDevice(int index, TimePoint now) {
    Port& port = ports_[index];
    char buffer[4096];
    while (port.deviceFd >= 0) {
        ssize_t n = read(port.deviceFd, buffer, sizeof buffer);
        if (n > 0) {
            std::string bytes(buffer, static_cast<size_t>(n));
            QueueForPort(index, bytes);
            FlushPort(index);
            spyLog_.Record(index, Direction::ToLibrary, bytes, now, Timestamp());
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // A raw tty without VMIN answers 0 when it has nothing; EIO is a device gone away.
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            DeviceLost(index, std::strerror(errno), now);
        return;
    }
}

void Server::FlushDevice(int index, TimePoint now) {
    Port& port = ports_[index];
    while (port.deviceFd >= 0 && !port.deviceOut.empty()) {
        ssize_t n = write(port.deviceFd, port.deviceOut.data(), port.deviceOut.size());
        if (n > 0) {
            port.deviceOut.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        DeviceLost(index, n < 0 ? std::strerror(errno) : "write failed", now);
        return;
    }
}

void Server::DeviceLost(int index, const std::string& why, TimePoint now) {
    Port& port = ports_[index];
    CloseSerialDevice(port.deviceFd);
    port.deviceFd = -1;
    port.deviceOut.clear();
    port.retryAt = now + kDeviceRetry;
    Trace(PortName(index) + " device " + port.devicePath + " lost (" + why + "), reopening");
}

void Server::ReopenDevices(TimePoint now) {
    for (int i = 0; i < kPortCount; ++i) {
        Port& port = ports_[i];
        if (port.devicePath.empty() || port.deviceFd >= 0 || now < port.retryAt)
            continue;
        std::string error;
        port.deviceFd = OpenSerialDevice(port.devicePath, &error);
        if (port.deviceFd < 0) {
            port.retryAt = now + kDeviceRetry;
            continue;
        }
        Trace(PortName(i) + " device " + port.devicePath + " open again");
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
        for (const Port& port : ports_) {
            reply +=
                " " + (port.active && !port.vanished ? port.pty.slavePath() : std::string("-"));
        }
        return reply + "\n";
    }
    if (spying())
        return SpyRequest(request);
    std::vector<std::string> words;
    for (size_t i = 0; i < request.size();) {
        while (i < request.size() && (request[i] == ' ' || request[i] == '\t'))
            ++i;
        size_t start = i;
        while (i < request.size() && request[i] != ' ' && request[i] != '\t')
            ++i;
        if (i > start)
            words.push_back(request.substr(start, i - start));
    }
    if (!words.empty() && (words[0] == "vanish" || words[0] == "replug"))
        return PortRequest(words);
    std::string reply = chassis_.Control(request);
    // A fresh chassis has every port plugged in.
    if (words.size() == 1 && (words[0] == "reset" || words[0] == "restore") && reply == "OK\n")
        ReplugVanished();
    return reply;
}

std::string Server::SpyRequest(const std::string& line) {
    std::string request = line;
    while (!request.empty() && (request.front() == ' ' || request.front() == '\t'))
        request.erase(0, 1);
    auto listing = [](const std::vector<std::string>& lines) {
        std::string reply = "OK " + std::to_string(lines.size()) + "\n";
        for (const std::string& l : lines)
            reply += l + "\n";
        return reply;
    };
    if (request == "ping")
        return "OK\n";
    if (request == "log")
        return listing(spyLog_.Snapshot());
    if (request == "clearlog") {
        spyLog_.Clear();
        return "OK\n";
    }
    if (request == "help") {
        return listing({
            "ping      answers OK",
            "help      this list",
            "log       every line passed so far, oldest first: TIME PORT <- \"BYTES\" towards",
            "          the chassis, TIME PORT -> \"BYTES\" from it",
            "clearlog  empties the log",
            "ports     the port paths: command, then monitoring ports 1-16 (- where none)",
            "shutdown  stops the spy",
        });
    }
    return "ERR not a spy request (try help)\n";
}

void Server::ReadStdin() {
    char buffer[4096];
    ssize_t n;
    do {
        n = read(STDIN_FILENO, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n > 0)
        stdinIn_.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = stdinIn_.find('\n')) != std::string::npos) {
        std::string line = stdinIn_.substr(0, newline);
        stdinIn_.erase(0, newline + 1);
        stdoutOut_ += HandleRequest(line);
    }
    if (stdinIn_.size() > kMaxRequestLine) {
        stdoutOut_ += "ERR request too long\n";
        stdinIn_.clear();
    }
    if (n > 0)
        return;
    // A last request without its line end still counts.
    if (!stdinIn_.empty())
        stdoutOut_ += HandleRequest(stdinIn_);
    stdinIn_.clear();
    stdinOpen_ = false;
    if (options_.exitOnEof) {
        Trace("end of stdin, stopping");
        stop_ = true;
    } else {
        Trace("end of stdin, still running");
    }
}

void Server::FlushStdout(bool wait) {
    while (!stdoutOut_.empty() && !stdoutBroken_) {
        // stdout stays blocking (its flags are shared with whoever started us), so write no more
        // than a pipe takes at once when poll says it has room.
        pollfd pfd{STDOUT_FILENO, POLLOUT, 0};
        int ready = poll(&pfd, 1, wait ? 1000 : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        if (pfd.revents & (POLLERR | POLLNVAL)) {
            stdoutBroken_ = true;
            break;
        }
        ssize_t n =
            write(STDOUT_FILENO, stdoutOut_.data(), std::min<size_t>(stdoutOut_.size(), PIPE_BUF));
        if (n > 0) {
            stdoutOut_.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        stdoutBroken_ = true;
    }
    if (stdoutBroken_)
        stdoutOut_.clear();
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
    enum class Kind { Signal, Port, Device, Listen, Client, Stdin, Stdout };
    struct Target {
        Kind kind;
        size_t index;
    };
    std::vector<pollfd> fds;
    std::vector<Target> targets;
    while (!stop_) {
        TimePoint now = Clock::now();
        if (spying()) {
            spyLog_.Advance(now);
            ReopenDevices(now);
        } else {
            for (Output& o : chassis_.Advance(now)) {
                if (o.lossy) {
                    OfferToPort(o.port, o.bytes);
                } else {
                    QueueForPort(o.port, o.bytes);
                }
            }
        }
        for (int i = 0; i < kPortCount; ++i) {
            if (!ports_[i].out.empty())
                FlushPort(i);
            if (!ports_[i].deviceOut.empty())
                FlushDevice(i, now);
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
        FlushStdout(false);

        std::optional<TimePoint> wake = spying() ? spyLog_.NextDeadline() : chassis_.NextDeadline();
        auto wakeBy = [&wake](TimePoint t) {
            if (!wake || t < *wake)
                wake = t;
        };
        fds.clear();
        targets.clear();
        auto watch = [&](int fd, short events, Kind kind, size_t index) {
            fds.push_back({fd, events, 0});
            targets.push_back({kind, index});
        };
        watch(g_signalPipe[0], POLLIN, Kind::Signal, 0);
        for (int i = 0; i < kPortCount; ++i) {
            Port& port = ports_[i];
            if (!port.active)
                continue;
            if (!port.devicePath.empty()) {
                if (port.deviceFd >= 0) {
                    watch(port.deviceFd, port.deviceOut.empty() ? POLLIN : POLLIN | POLLOUT,
                          Kind::Device, static_cast<size_t>(i));
                } else {
                    wakeBy(port.retryAt);
                }
            }
            if (port.vanished)
                continue;
            if (port.quietUntil > now) {
                wakeBy(port.quietUntil);
                continue;
            }
            watch(port.pty.master(), port.out.empty() ? POLLIN : POLLIN | POLLOUT, Kind::Port,
                  static_cast<size_t>(i));
        }
        if (listenFd_ >= 0)
            watch(listenFd_, POLLIN, Kind::Listen, 0);
        for (size_t c = 0; c < clients_.size(); ++c) {
            short events = clients_[c]->closing ? 0 : POLLIN;
            if (!clients_[c]->out.empty())
                events |= POLLOUT;
            watch(clients_[c]->fd, events, Kind::Client, c);
        }
        if (stdinOpen_)
            watch(STDIN_FILENO, POLLIN, Kind::Stdin, 0);
        if (!stdoutOut_.empty() && !stdoutBroken_)
            watch(STDOUT_FILENO, POLLOUT, Kind::Stdout, 0);

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
        bool accept = false;
        for (size_t k = 0; k < fds.size(); ++k) {
            const short revents = fds[k].revents;
            if (revents == 0)
                continue;
            const size_t index = targets[k].index;
            const int i = static_cast<int>(index);
            switch (targets[k].kind) {
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
                        ports_[index].quietUntil = now + std::chrono::milliseconds(50);
                    }
                    break;
                case Kind::Device:
                    if (revents & POLLIN)
                        ReadDevice(i, now);
                    if ((revents & POLLOUT) && ports_[index].deviceFd >= 0)
                        FlushDevice(i, now);
                    // Whatever it still had was read above.
                    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) && ports_[index].deviceFd >= 0)
                        DeviceLost(i, "hang-up", now);
                    break;
                case Kind::Listen:
                    accept = (revents & POLLIN) != 0;
                    break;
                case Kind::Client:
                    if (revents & (POLLIN | POLLHUP | POLLERR))
                        ReadClient(*clients_[index]);
                    if (revents & POLLOUT)
                        FlushClient(*clients_[index]);
                    break;
                case Kind::Stdin:
                    ReadStdin();
                    break;
                case Kind::Stdout:
                    FlushStdout(false);
                    break;
            }
        }
        // After the clients were served, so their indices above still held.
        if (accept)
            AcceptClients();
    }
    // Let the reply to "shutdown" reach its client before the sockets close.
    for (auto& client : clients_)
        FlushClient(*client);
    FlushStdout(true);
    return 0;
}

}  // namespace halvex::sim
