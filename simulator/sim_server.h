// The event loop of halvex-sim: seventeen pseudo-terminals, the TCP control channel, control on
// standard input and the timed replies of the chassis, all on one thread driven by poll(). In spy
// mode the pseudo-terminals lead to real chassis ports instead of the simulated cards.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <poll.h>

#include "channel.h"
#include "chassis.h"
#include "pty.h"
#include "spy_log.h"

namespace halvex::sim {

struct ServerOptions {
    std::string linkDir;   // empty: no symlinks
    int controlPort = -1;  // -1: no control channel; 0: any free port
    bool quiet = false;
    bool stdinControl = false;  // requests on stdin, replies on stdout
    bool exitOnEof = false;     // stop once stdin ends
    // Spy mode when spyDevices[kCommandPort] is set: each port with a device passes bytes both
    // ways between its pseudo-terminal and that device; ports without one are not created.
    std::array<std::string, kPortCount> spyDevices;
    std::chrono::milliseconds spyLineTimeout{100};
};

// The wall-clock time of day, "HH:MM:SS.mmm", for the trace and the spy's log.
std::string WallClock();

class Server {
  public:
    Server(Chassis& chassis, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Creates the ports, the symlinks and the control socket; opens the spied devices.
    bool Start(std::string* error);
    // The start-up lines for stdout, "ready" last.
    std::vector<std::string> Banner() const;
    // Runs until SIGINT, SIGTERM, SIGHUP, a "shutdown" request or (if asked) the end of stdin;
    // returns the exit status.
    int Run();
    // Removes the symlinks this process created; safe to call twice.
    void Cleanup();

    // Routes SIGINT, SIGTERM and SIGHUP into the loop and ignores SIGPIPE.
    static bool InstallSignalHandlers(std::string* error);

  private:
    struct Port {
        bool active = true;
        PseudoTerminal pty;
        Channel io;                    // the pty's master side
        TimePoint quietUntil{};        // polling paused after a hang-up, to avoid spinning
        bool vanished = false;         // "vanish" closed its pty: nothing is read or written
        bool vanishAfterLine = false;  // "vanish ... after-line": close once a line came in
        std::string linkTarget;        // where our symlink points, so Cleanup knows it as ours
        // Spy mode: the real port behind this one.
        std::string devicePath;
        Channel device;
        TimePoint retryAt{};  // when to try opening a lost device again
    };
    struct Client {
        Channel io;
        std::string in;
        bool closing = false;
    };
    enum class Kind { Signal, Port, Device, Listen, Client, Stdin, Stdout };
    struct Watched {
        Kind kind;
        size_t index;
    };

    bool spying() const { return !options_.spyDevices[kCommandPort].empty(); }
    // server_ports.cpp: the pseudo-terminals, their links and the spied devices.
    bool OpenPorts(std::string* error);
    bool CreateLinks(std::string* error);
    bool PointLink(int port, std::string* error);
    void ReadPort(int port, TimePoint now);
    void FlushPort(int port);
    void Deliver(const Output& output);
    std::string VanishRequest(const RequestArgs& args);
    std::string ReplugRequest(const RequestArgs& args);
    void Vanish(int port);
    bool Replug(int port, std::string* error);
    void ReplugVanished();
    void ReadDevice(int port, TimePoint now);
    void FlushDevice(int port, TimePoint now);
    void DeviceLost(int port, const std::string& why, TimePoint now);
    void ReopenDevices(TimePoint now);
    // server_control.cpp: the control channel on TCP and on stdin and stdout.
    bool Listen(std::string* error);
    RequestTable MakeSpyRequests();
    void BindProcessRequests();
    void AcceptClients();
    void ReadClient(Client& client);
    void FlushClients();
    void ReadStdin();
    void FlushStdout(bool wait);
    // Requests in `in` up to its last line end, answered into `out`; false when too long.
    bool AnswerLines(std::string* in, std::string* out);
    std::string HandleRequest(const std::string& line);
    // sim_server.cpp: the loop.
    void Service(TimePoint now);
    std::optional<TimePoint> WatchAll(TimePoint now);
    void Watch(int fd, short events, Kind kind, size_t index);
    void Serve(const pollfd& fd, const Watched& what, TimePoint now);
    void Trace(const std::string& text) const;

    Chassis& chassis_;
    ServerOptions options_;
    std::array<Port, kPortCount> ports_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<std::string> links_;  // symlinks we created
    std::string linkDir_;             // their folder, without a trailing slash
    int listenFd_ = -1;
    int boundPort_ = 0;
    bool stop_ = false;
    bool accept_ = false;  // a client waits to be accepted once the loop's clients are served
    SpyLog spyLog_;
    RequestTable spyRequests_;
    bool stdinOpen_ = false;
    std::string stdinIn_;
    Channel stdout_;
    bool stdoutBroken_ = false;
    std::vector<pollfd> fds_;
    std::vector<Watched> watched_;
};

}  // namespace halvex::sim
