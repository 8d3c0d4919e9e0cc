// The pseudo-terminals of halvex-sim, their symlinks, "vanish" and "replug", and in spy mode the
// real devices behind them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "pty.h"
#include "sim_server.h"

namespace halvex::sim {

namespace {

constexpr size_t kMaxPortBacklog = 1 << 20;
// How often a spied device that went away is looked for again.
constexpr std::chrono::milliseconds kDeviceRetry(500);

// "command", or "monitor-01".."monitor-16" beside "mon01".."mon16".
std::string LinkName(int port) {
    return port == kCommandPort ? "command" : "monitor-" + PortName(port).substr(3);
}

// The port a "vanish" or "replug" names, or -1.
int PortNamed(std::string_view name) {
    for (int i = 0; i < kPortCount; ++i) {
        if (PortName(i) == name)
            return i;
    }
    return -1;
}

}  // namespace

bool Server::OpenPorts(std::string* error) {
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
        port.io.fd = port.pty.master();
        if (!port.devicePath.empty()) {
            port.device.fd = OpenSerialDevice(port.devicePath, error);
            if (port.device.fd < 0)
                return false;
        }
    }
    return true;
}

bool Server::CreateLinks(std::string* error) {
    std::string dir = options_.linkDir;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::error_code failed;
    std::filesystem::create_directories(dir, failed);
    if (!std::filesystem::is_directory(dir)) {
        *error = dir + ": " + (failed ? failed.message() : "not a directory");
        return false;
    }
    linkDir_ = dir;
    for (int port = 0; port < kPortCount; ++port) {
        const std::string path = dir + "/" + LinkName(port);
        struct stat st {};
        if (!ports_[port].active)
            continue;
        // A link left by an earlier run is ours to replace; anything else is not.
        if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            *error = path + " exists and is not a symlink";
            return false;
        }
        if (!PointLink(port, error))
            return false;
        links_.push_back(path);
    }
    return true;
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

void Server::Cleanup() {
    for (const std::string& link : links_) {
        // Only remove a link that still points at our port: a newer run may have replaced it.
        char target[4096];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n < 0)
            continue;
        target[n] = '\0';
        for (const Port& port : ports_) {
            if (port.active && port.linkTarget == target) {
                unlink(link.c_str());
                break;
            }
        }
    }
    links_.clear();
}

void Server::ReadPort(int index, TimePoint now) {
    Port& port = ports_[index];
    std::string bytes;
    if (port.io.ReadAvailable(&bytes) == Channel::ReadResult::Failed) {
        // EIO would mean no slave is open, which the kept slave descriptor prevents; back off
        // instead of spinning if it happens anyway.
        const int error = errno;
        Trace(PortName(index) + " hang-up: " + std::strerror(error));
        port.quietUntil = now + std::chrono::milliseconds(50);
    }
    if (bytes.empty())
        return;
    if (!spying()) {
        const size_t lineEnd = bytes.find('\n');
        if (port.vanishAfterLine && lineEnd != std::string::npos) {
            // The line reaches the card, the port goes before anything can answer.
            chassis_.Receive(index, std::string_view(bytes).substr(0, lineEnd + 1), now);
            Vanish(index);
            return;
        }
        chassis_.Receive(index, bytes, now);
        return;
    }
    // Forwarded at once, whole line or not; the log cuts lines on its own.
    if (port.device.fd < 0) {
        Trace(PortName(index) + " device " + port.devicePath + " not open, bytes dropped");
    } else if (port.device.out.size() + bytes.size() > kMaxPortBacklog) {
        Trace(PortName(index) + " device does not take bytes, dropped");
    } else {
        port.device.out += bytes;
        FlushDevice(index, now);
    }
    spyLog_.Record(index, Direction::ToChassis, bytes, now, WallClock());
}

void Server::FlushPort(int index) {
    Port& port = ports_[index];
    if (!port.vanished && !port.io.Flush()) {
        Trace(PortName(index) + " write failed (" + std::strerror(errno) + "), reply dropped");
        port.io.out.clear();
    }
    if (port.vanished)
        port.io.out.clear();
}

// Queues bytes for a port; a lossy output is written at once and what the port cannot hold is
// lost (see Step::Offer).
void Server::Deliver(const Output& output) {
    Port& port = ports_[output.port];
    const std::string name = PortName(output.port);
    if (port.vanished) {
        Trace(name + " has vanished, reply dropped");
    } else if (output.lossy) {
        FlushPort(output.port);
        const size_t taken = port.io.Offer(output.bytes);
        if (taken < output.bytes.size()) {
            Trace(name + " overrun: " + std::to_string(output.bytes.size() - taken) + " of " +
                  std::to_string(output.bytes.size()) + " bytes lost");
        }
    } else if (port.io.out.size() + output.bytes.size() > kMaxPortBacklog) {
        Trace(name + " nobody reads this port, reply dropped");
    } else {
        port.io.out += output.bytes;
    }
}

std::string Server::VanishRequest(const RequestArgs& args) {
    const int index = PortNamed(args[1]);
    if (index < 0 || (args.count() == 2 && args[2] != "after-line"))
        return {};
    Port& port = ports_[index];
    if (port.vanished)
        return Err(std::string(args[1]) + " has vanished already");
    if (args.count() == 2) {
        port.vanishAfterLine = true;
        Trace(PortName(index) + " vanishes after its next line");
    } else {
        Vanish(index);
    }
    return "OK\n";
}

std::string Server::ReplugRequest(const RequestArgs& args) {
    const int index = PortNamed(args[1]);
    if (index < 0)
        return {};
    if (!ports_[index].vanished)
        return Err(std::string(args[1]) + " has not vanished");
    std::string error;
    if (!Replug(index, &error))
        return Err("replug failed: " + error);
    return "OK " + ports_[index].pty.slavePath() + "\n";
}

void Server::Vanish(int index) {
    Port& port = ports_[index];
    // Closing the master hangs up whoever holds the slave and removes its device node. The
    // link goes too, as an unplugged adapter's device name does: left in place it would name
    // whichever pseudo-terminal is given that number next, another program's port.
    port.pty.Close();
    if (!linkDir_.empty())
        unlink((linkDir_ + "/" + LinkName(index)).c_str());
    port.io = Channel{};
    port.vanished = true;
    port.vanishAfterLine = false;
    Trace(PortName(index) + " vanished");
}

bool Server::Replug(int index, std::string* error) {
    Port& port = ports_[index];
    if (!port.pty.Open(error))
        return false;
    port.io.fd = port.pty.master();
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
        std::string error;
        if (ports_[i].vanished && !Replug(i, &error))
            Trace(PortName(i) + " replug failed: " + error);
    }
}

void Server::ReadDevice(int index, TimePoint now) {
    Port& port = ports_[index];
    std::string bytes;
    // A raw tty without VMIN answers 0 when it has nothing; an error is a device gone away.
    const Channel::ReadResult result = port.device.ReadAvailable(&bytes);
    const int error = errno;
    if (!bytes.empty()) {
        Deliver({index, bytes, false});
        FlushPort(index);
        spyLog_.Record(index, Direction::ToLibrary, bytes, now, WallClock());
    }
    if (result == Channel::ReadResult::Failed)
        DeviceLost(index, std::strerror(error), now);
}

void Server::FlushDevice(int index, TimePoint now) {
    if (!ports_[index].device.Flush())
        DeviceLost(index, errno != 0 ? std::strerror(errno) : "write failed", now);
}

void Server::DeviceLost(int index, const std::string& why, TimePoint now) {
    Port& port = ports_[index];
    CloseSerialDevice(port.device.fd);
    port.device = Channel{};
    port.retryAt = now + kDeviceRetry;
    Trace(PortName(index) + " device " + port.devicePath + " lost (" + why + "), reopening");
}

void Server::ReopenDevices(TimePoint now) {
    for (int i = 0; i < kPortCount; ++i) {
        Port& port = ports_[i];
        if (port.devicePath.empty() || port.device.fd >= 0 || now < port.retryAt)
            continue;
        std::string error;
        port.device.fd = OpenSerialDevice(port.devicePath, &error);
        if (port.device.fd < 0) {
            port.retryAt = now + kDeviceRetry;
            continue;
        }
        Trace(PortName(i) + " device " + port.devicePath + " open again");
    }
}

}  // namespace halvex::sim
