// The event loop of halvex-sim: seventeen pseudo-terminals, the TCP control channel, control on
// standard input and the timed replies of the chassis, all on one thread driven by poll(). In spy
// mode the pseudo-terminals lead to real chassis ports instead of the simulated cards.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

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
        std::string out;
        TimePoint quietUntil{};        // polling paused after a hang-up, to avoid spinning
        bool vanished = false;         // "vanish" closed its pty: nothing is read or written
        bool vanishAfterLine = false;  // "vanish ... after-line": close once a line came in
        std::string linkTarget;        // where our symlink points, so Cleanup knows it as ours
        // Spy mode: the real port behind this one.
        std::string devicePath;
        int deviceFd = -1;
        std::string deviceOut;
        TimePoint retryAt{};  // when to try opening a lost device again
    };
    struct Client {
        int fd = -1;
        std::string in;
        std::string out;
        bool closing = false;
    };

    bool spying() const { return !options_.spyDevices[kCommandPort].empty(); }
    bool CreateLinks(std::string* error);
    bool Listen(std::string* error);
    void ReadPort(int port, TimePoint now);
    void FlushPort(int port);
    void QueueForPort(int port, const std::string& bytes);
    // Writes what the port takes now and drops the rest (see Step::Offer).
    void OfferToPort(int port, const std::string& bytes);
    // "vanish" and "replug": a port pulled out and plugged in again.
    std::string PortRequest(const std::vector<std::string>& words);
    void Vanish(int port);
    bool Replug(int port, std::string* error);
    void ReplugVanished();
    bool PointLink(int port, std::string* error);
    void ReadDevice(int port, TimePoint now);
    void FlushDevice(int port, TimePoint now);
    void DeviceLost(int port, const std::string& why, TimePoint now);
    void ReopenDevices(TimePoint now);
    void AcceptClients();
    void ReadClient(Client& client);
    void FlushClient(Client& client);
    void ReadStdin();
    void FlushStdout(bool wait);
    std::string HandleRequest(const std::string& line);
    std::string SpyRequest(const std::string& request);
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
    SpyLog spyLog_;
    bool stdinOpen_ = false;
    std::string stdinIn_;
    std::string stdoutOut_;
    bool stdoutBroken_ = false;
};

}  // namespace halvex::sim
