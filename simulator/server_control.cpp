// The control channel of halvex-sim: TCP clients, and requests on stdin answered on stdout.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim_server.h"

namespace halvex::sim {

namespace {

constexpr size_t kMaxRequestLine = 1 << 20;
constexpr size_t kMaxClients = 32;

}  // namespace

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

RequestTable Server::MakeSpyRequests() {
    auto ok = [](const RequestArgs&) { return std::string("OK\n"); };
    std::vector<Request> rows = {
        {"ping", "", "answers OK", 0, 0, 0, ok},
        {"help", "", "this list", 0, 0, 0,
         [this](const RequestArgs&) { return Listing(spyRequests_.HelpLines()); }},
        {"log", "",
         "every line passed so far, oldest first: TIME PORT <- \"BYTES\" towards\n"
         "the chassis, TIME PORT -> \"BYTES\" from it",
         0, 0, 0, [this](const RequestArgs&) { return Listing(spyLog_.Snapshot()); }},
        {"clearlog", "", "empties the log", 0, 0, 0,
         [this, ok](const RequestArgs& a) {
             spyLog_.Clear();
             return ok(a);
         }},
        // Bound with the chassis's own below.
        Unbound("ports", "", "the port paths: command, then monitoring ports 1-16 (- where none)"),
        Unbound("shutdown", "", "stops the spy"),
    };
    return RequestTable(std::move(rows), 10, "not a spy request (try help)");
}

// The requests that concern the process and its ports rather than the cards.
void Server::BindProcessRequests() {
    auto ports = [this](const RequestArgs&) {
        std::string reply = "OK";
        for (const Port& port : ports_)
            reply += " " + (port.active && !port.vanished ? port.pty.slavePath() : "-");
        return reply + "\n";
    };
    auto shutdown = [this](const RequestArgs&) {
        stop_ = true;
        return std::string("OK\n");
    };
    for (RequestTable* table : {&chassis_.requests(), &spyRequests_}) {
        table->Bind("ports", ports);
        table->Bind("shutdown", shutdown);
    }
    chassis_.requests().Bind("vanish", [this](const RequestArgs& a) { return VanishRequest(a); });
    chassis_.requests().Bind("replug", [this](const RequestArgs& a) { return ReplugRequest(a); });
}

std::string Server::HandleRequest(const std::string& line) {
    std::string request = line;
    while (!request.empty() && (request.back() == '\r' || request.back() == ' '))
        request.pop_back();
    Trace("ctl <- " + Printable(request));
    if (spying()) {
        // The spy takes its few requests exactly as listed, without arguments.
        const size_t start = std::min(request.find_first_not_of(" \t"), request.size());
        const Request* known = spyRequests_.Find(std::string_view(request).substr(start));
        return known ? spyRequests_.Dispatch(known->verb) : Err("not a spy request (try help)");
    }
    std::string reply = chassis_.Control(request);
    // A fresh chassis has every port plugged in.
    const std::vector<Word> words = SplitWords(request);
    if (words.size() == 1 && (words[0].text == "reset" || words[0].text == "restore") &&
        reply == "OK\n")
        ReplugVanished();
    return reply;
}

bool Server::AnswerLines(std::string* in, std::string* out) {
    size_t newline;
    while ((newline = in->find('\n')) != std::string::npos) {
        std::string line = in->substr(0, newline);
        in->erase(0, newline + 1);
        *out += HandleRequest(line);
    }
    if (in->size() <= kMaxRequestLine)
        return true;
    *out += "ERR request too long\n";
    in->clear();
    return false;
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
        client->io.fd = fd;
        clients_.push_back(std::move(client));
        Trace("ctl client connected");
    }
}

void Server::ReadClient(Client& client) {
    const Channel::ReadResult result = client.io.ReadAvailable(&client.in);
    if (result == Channel::ReadResult::End || result == Channel::ReadResult::Failed)
        client.closing = true;
    if (!AnswerLines(&client.in, &client.io.out))
        client.closing = true;
}

void Server::FlushClients() {
    for (auto& client : clients_) {
        if (!client->io.Flush()) {
            client->io.out.clear();
            client->closing = true;
        }
    }
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [this](const std::unique_ptr<Client>& c) {
                                      if (!c->closing || !c->io.out.empty())
                                          return false;
                                      close(c->io.fd);
                                      Trace("ctl client disconnected");
                                      return true;
                                  }),
                   clients_.end());
}

void Server::ReadStdin() {
    const Channel::ReadResult result = Channel{STDIN_FILENO, {}}.ReadAvailable(&stdinIn_, true);
    AnswerLines(&stdinIn_, &stdout_.out);
    if (result != Channel::ReadResult::End)
        return;
    // A last request without its line end still counts.
    if (!stdinIn_.empty())
        stdout_.out += HandleRequest(stdinIn_);
    stdinIn_.clear();
    stdinOpen_ = false;
    Trace(options_.exitOnEof ? "end of stdin, stopping" : "end of stdin, still running");
    stop_ = stop_ || options_.exitOnEof;
}

void Server::FlushStdout(bool wait) {
    while (!stdout_.out.empty() && !stdoutBroken_) {
        // stdout stays blocking (its flags are shared with whoever started us), so write no more
        // than a pipe takes at once when poll says it has room.
        pollfd pfd{STDOUT_FILENO, POLLOUT, 0};
        int ready = poll(&pfd, 1, wait ? 1000 : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        stdoutBroken_ = (pfd.revents & (POLLERR | POLLNVAL)) != 0 || !stdout_.Flush(PIPE_BUF, true);
    }
    if (stdoutBroken_)
        stdout_.out.clear();
}

}  // namespace halvex::sim
