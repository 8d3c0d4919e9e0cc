// Runs a real halvex-sim process and talks to it the way the driver and the tests do: its
// pseudo-terminals opened as serial ports, and its TCP control channel.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "support/sim_control.h"

namespace simtest {

using std::chrono::milliseconds;

// Where the simulator binary is: $HALVEX_SIM, else the path the build gave us.
std::string SimulatorPath();

class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the binary with these arguments and reads its start-up lines up to "ready".
    bool Start(const std::vector<std::string>& args, std::string* error);
    // SIGTERM, then waits; returns the exit status, or -1 if it had to be killed.
    int Stop();
    bool Running();
    // Waits up to `timeout` for the process to end by itself; its exit status, or -1.
    int WaitForExit(milliseconds timeout);

    // Gives the simulator a pipe as stdin (before Start) instead of ours.
    void PipeStdin() { pipeStdin_ = true; }
    bool WriteStdin(std::string_view bytes);
    void CloseStdin();
    // One more line of stdout after the banner, without its "\n" ("<no reply>" on time-out).
    std::string ReadStdoutLine(milliseconds timeout = milliseconds(5000));
    // Sends the simulator's stderr to /dev/null (for runs that are meant to fail).
    void DiscardStderr() { stderrPath_ = "/dev/null"; }
    // Sends the simulator's stderr to this file instead.
    void CaptureStderr(const std::string& path) { stderrPath_ = path; }

    const std::string& commandPort() const { return commandPort_; }
    const std::string& monitorPort(int slot) const { return monitorPorts_[slot - 1]; }
    int controlPort() const { return controlPort_; }
    // The running process, or -1.
    pid_t pid() const { return pid_; }
    const std::vector<std::string>& banner() const { return banner_; }

  private:
    // Records the exit status once the child is reaped, so its pid is never signalled again.
    bool Reap(bool block);

    pid_t pid_ = -1;
    int exitStatus_ = -1;
    int stdoutFd_ = -1;
    std::string stdoutBuffer_;  // read past the banner
    bool pipeStdin_ = false;
    int stdinFd_ = -1;
    std::string commandPort_;
    std::vector<std::string> monitorPorts_ = std::vector<std::string>(16);
    int controlPort_ = -1;
    std::vector<std::string> banner_;
    std::string stderrPath_;
};

// A serial port opened the way the driver opens one: non-blocking, exclusive (TIOCEXCL and
// flock), raw; its close clears TIOCEXCL again.
class SerialPort {
  public:
    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // Why the last Open failed.
    const std::string& lastError() const { return lastError_; }

    // Discards everything queued in both directions, as the driver does before each command.
    void Purge();
    bool Send(std::string_view bytes);
    // Collects until a line feed has arrived or the time is up.
    std::string ReadLine(milliseconds timeout = milliseconds(3000));
    // Collects until at least `count` bytes have arrived or the time is up.
    std::string ReadAtLeast(size_t count, milliseconds timeout = milliseconds(3000));
    // Collects everything that arrives during the whole window.
    std::string ReadFor(milliseconds window);
    // Purge, send, then collect one line.
    std::string Exchange(std::string_view command, milliseconds timeout = milliseconds(3000));

  private:
    int fd_ = -1;
    std::string lastError_;
};

// The control channel as the simulator's tests see it: every reply line exactly as sent, and
// placeholders instead of failures, so that an assertion shows what went wrong.
class ControlClient {
  public:
    bool Connect(int port) { return channel_.Connect(port); }
    void Close() { channel_.Close(); }
    bool SendRaw(std::string_view bytes) { return channel_.Send(bytes); }
    // Sends one request line and returns the first reply line without its "\n"
    // ("<no reply>" when nothing came, "<send failed>" when it could not be sent).
    std::string Request(const std::string& line);
    // Reads one more line of a multi-line reply.
    std::string ReadLine();
    // "log": the entries as "<port> <hex>" strings; fails the request text into `header`.
    std::vector<std::string> Log(std::string* header = nullptr);

  private:
    halvex_test::ControlChannel channel_;
};

}  // namespace simtest
