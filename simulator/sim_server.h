// The event loop of halvex-sim: seventeen pseudo-terminals, the TCP control channel and the
// timed replies of the chassis, all on one thread driven by poll().
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "chassis.h"
#include "pty.h"

namespace halvex::sim {

struct ServerOptions {
    std::string linkDir;   // empty: no symlinks
    int controlPort = -1;  // -1: no control channel; 0: any free port
    bool quiet = false;
};

class Server {
  public:
    Server(Chassis& chassis, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Creates the ports, the symlinks and the control socket.
    bool Start(std::string* error);
    // The start-up lines for stdout, "ready" last.
    std::vector<std::string> Banner() const;
    // Runs until SIGINT, SIGTERM, SIGHUP or a "shutdown" request; returns the exit status.
    int Run();
    // Removes the symlinks this process created; safe to call twice.
    void Cleanup();

    // Routes SIGINT, SIGTERM and SIGHUP into the loop and ignores SIGPIPE.
    static bool InstallSignalHandlers(std::string* error);

  private:
    struct Port {
        PseudoTerminal pty;
        std::string out;
        TimePoint quietUntil{};  // polling paused after a hang-up, to avoid spinning
    };
    struct Client {
        int fd = -1;
        std::string in;
        std::string out;
        bool closing = false;
    };

    bool CreateLinks(std::string* error);
    bool Listen(std::string* error);
    void ReadPort(int port, TimePoint now);
    void FlushPort(int port);
    void AcceptClients();
    void ReadClient(Client& client);
    void FlushClient(Client& client);
    std::string HandleRequest(const std::string& line);
    void Trace(const std::string& text) const;

    Chassis& chassis_;
    ServerOptions options_;
    std::array<Port, kPortCount> ports_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<std::string> links_;  // symlinks we created
    int listenFd_ = -1;
    int boundPort_ = 0;
    bool stop_ = false;
};

}  // namespace halvex::sim
