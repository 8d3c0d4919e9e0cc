#include "sim_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "pty.h"

#ifndef HALVEX_SIM_PATH
#define HALVEX_SIM_PATH "halvex-sim"
#endif

namespace simtest {

namespace {

using Clock = std::chrono::steady_clock;

// Long enough for a loaded machine; a missing control reply still fails the test in seconds.
constexpr int kReplyMs = 5000;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Reads whatever is there, waiting at most until the deadline for the first byte.
bool ReadSome(int fd, std::string* into, Clock::time_point deadline) {
    pollfd pfd{fd, POLLIN, 0};
    int ready = poll(&pfd, 1, MsLeft(deadline));
    if (ready <= 0)
        return false;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    into->append(buffer, static_cast<size_t>(n));
    return true;
}

}  // namespace

std::string SimulatorPath() {
    const char* env = std::getenv("HALVEX_SIM");
    return env != nullptr && *env != '\0' ? env : HALVEX_SIM_PATH;
}

bool SimProcess::Start(const std::vector<std::string>& args, std::string* error) {
    int out[2];
    if (pipe(out) != 0) {
        *error = "pipe failed";
        return false;
    }
    // Close-on-exec, so that no later child holds the write end and keeps the end of input away.
    int in[2] = {-1, -1};
    if (pipeStdin_ && pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        *error = "pipe failed";
        return false;
    }
    std::string path = SimulatorPath();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        *error = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        // An abandoned simulator must not outlive a crashed test.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        dup2(out[1], STDOUT_FILENO);
        if (in[0] >= 0)
            dup2(in[0], STDIN_FILENO);
        if (!stderrPath_.empty()) {
            int err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0)
                dup2(err, STDERR_FILENO);
        }
        close(out[0]);
        close(out[1]);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    stdoutFd_ = out[0];
    if (in[0] >= 0) {
        close(in[0]);
        stdinFd_ = in[1];
    }

    std::string text;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (true) {
        size_t newline;
        while ((newline = text.find('\n')) != std::string::npos) {
            std::string line = text.substr(0, newline);
            text.erase(0, newline + 1);
            banner_.push_back(line);
            if (line == "ready") {
                stdoutBuffer_ = text;
                return true;
            }
            if (line.rfind("command-port ", 0) == 0)
                commandPort_ = line.substr(13);
            if (line.rfind("monitor-port ", 0) == 0 && line.size() > 16) {
                int slot = std::atoi(line.substr(13, 2).c_str());
                if (slot >= 1 && slot <= 16)
                    monitorPorts_[slot - 1] = line.substr(16);
            }
            if (line.rfind("control 127.0.0.1:", 0) == 0) {
                controlPort_ = std::atoi(line.substr(18).c_str());
            }
        }
        if (!ReadSome(stdoutFd_, &text, deadline)) {
            *error = "simulator " + path + " did not report ready";
            return false;
        }
    }
}

bool SimProcess::Reap(bool block) {
    if (pid_ <= 0)
        return true;
    int status = 0;
    pid_t done = waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done == 0)
        return false;
    exitStatus_ = done == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    return true;
}

bool SimProcess::Running() {
    return !Reap(false);
}

int SimProcess::WaitForExit(milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!Reap(false)) {
        if (Clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return exitStatus_;
}

int SimProcess::Stop() {
    CloseStdin();
    int result = exitStatus_;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!Reap(false)) {
            if (Clock::now() > deadline) {
                kill(pid_, SIGKILL);
                Reap(true);
                exitStatus_ = -1;
                break;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        result = exitStatus_;
    } else if (stdoutFd_ < 0) {
        result = -1;  // never started, or already stopped
    }
    if (stdoutFd_ >= 0)
        close(stdoutFd_);
    stdoutFd_ = -1;
    exitStatus_ = -1;
    return result;
}

bool SimProcess::WriteStdin(std::string_view bytes) {
    size_t done = 0;
    while (stdinFd_ >= 0 && done < bytes.size()) {
        ssize_t n = write(stdinFd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return stdinFd_ >= 0;
}

void SimProcess::CloseStdin() {
    if (stdinFd_ >= 0)
        close(stdinFd_);
    stdinFd_ = -1;
}

std::string SimProcess::ReadStdoutLine(milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    size_t newline;
    while ((newline = stdoutBuffer_.find('\n')) == std::string::npos) {
        if (stdoutFd_ < 0 || !ReadSome(stdoutFd_, &stdoutBuffer_, deadline))
            return "<no reply>";
    }
    std::string line = stdoutBuffer_.substr(0, newline);
    stdoutBuffer_.erase(0, newline + 1);
    return line;
}

bool SerialPort::Open(const std::string& path) {
    Close();
    fd_ = halvex::sim::OpenSerialDevice(path, &lastError_);
    return fd_ >= 0;
}

void SerialPort::Close() {
    halvex::sim::CloseSerialDevice(fd_);
    fd_ = -1;
}

void SerialPort::Purge() {
    if (fd_ >= 0)
        tcflush(fd_, TCIOFLUSH);
}

bool SerialPort::Send(std::string_view bytes) {
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (done < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (Clock::now() > deadline)
            return false;
        pollfd pfd{fd_, POLLOUT, 0};
        poll(&pfd, 1, 100);
    }
    return true;
}

std::string SerialPort::ReadLine(milliseconds timeout) {
    std::string text;
    auto deadline = Clock::now() + timeout;
    while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
        ReadSome(fd_, &text, deadline);
    }
    return text;
}

std::string SerialPort::ReadAtLeast(size_t count, milliseconds timeout) {
    std::string text;
    auto deadline = Clock::now() + timeout;
    while (text.size() < count && Clock::now() < deadline)
        ReadSome(fd_, &text, deadline);
    return text;
}

std::string SerialPort::ReadFor(milliseconds window) {
    std::string text;
    auto deadline = Clock::now() + window;
    while (Clock::now() < deadline)
        ReadSome(fd_, &text, deadline);
    return text;
}

std::string SerialPort::Exchange(std::string_view command, milliseconds timeout) {
    Purge();
    if (!Send(command))
        return "<write failed>";
    return ReadLine(timeout);
}

std::string ControlClient::ReadLine() {
    std::string line;
    return channel_.ReadLine(&line, kReplyMs) ? line : "<no reply>";
}

std::string ControlClient::Request(const std::string& line) {
    if (!SendRaw(line + "\n"))
        return "<send failed>";
    return ReadLine();
}

std::vector<std::string> ControlClient::Log(std::string* header) {
    std::string first = Request("log");
    if (header != nullptr)
        *header = first;
    std::vector<std::string> entries;
    // Entries that never came show as such, as a reply that never came does.
    if (!channel_.ReadListing(first, &entries, kReplyMs))
        entries.resize(static_cast<size_t>(halvex_test::ControlChannel::ListingSize(first)),
                       "<no reply>");
    return entries;
}

}  // namespace simtest
