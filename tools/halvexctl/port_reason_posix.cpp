// Why a serial port would not open, and who else has it open, from what a POSIX system (and
// Linux's /proc) can tell; the library itself only answers 5.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "console.h"

namespace halvexctl {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

std::string ProcessName(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "pid " + std::to_string(pid)
                        : "pid " + std::to_string(pid) + " (" + name + ")";
}

std::vector<long> Pids() {
    std::vector<long> pids;
    if (DIR* d = opendir("/proc")) {
        while (const dirent* e = readdir(d)) {
            char* end = nullptr;
            const long pid = std::strtol(e->d_name, &end, 10);
            if (pid > 0 && *end == '\0')
                pids.push_back(pid);
        }
        closedir(d);
    }
    return pids;
}

// The pseudo-terminal number a master descriptor serves, or -1.
long MasterIndex(const std::string& fdinfo) {
    std::ifstream in(fdinfo);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 10, "tty-index:") == 0)
            return std::strtol(line.c_str() + 10, nullptr, 10);
    }
    return -1;
}

// The processes holding the lock the library takes on every port it opens, from /proc/locks.
std::vector<std::string> LockHolders(const struct stat& target) {
    char wanted[64];
    std::snprintf(wanted, sizeof(wanted), "%02x:%02x:%lu", major(target.st_dev),
                  minor(target.st_dev), static_cast<unsigned long>(target.st_ino));
    std::ifstream locks("/proc/locks");
    std::vector<std::string> found;
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5 0 EOF"; blocked waiters carry "->".
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;)
            w.push_back(x);
        if (line.find("->") != std::string::npos || w.size() < 6 || w[1] != "FLOCK" ||
            w[5] != wanted) {
            continue;
        }
        const long pid = std::strtol(w[4].c_str(), nullptr, 10);
        const std::string who =
            pid == getpid() ? "this process (pid " + w[4] + ")" : ProcessName(pid);
        bool seen = false;
        for (const auto& f : found)
            seen = seen || f == who;
        if (!seen)
            found.push_back(who);
    }
    return found;
}

std::string HeldReason(const std::string& port) {
    struct stat st {};
    std::vector<std::string> holders;
    if (stat(port.c_str(), &st) == 0)
        holders = LockHolders(st);
    if (holders.empty())
        return "held by another process (the port is opened for exclusive use)";
    std::string out = "held by another process: ";
    for (size_t i = 0; i < holders.size(); ++i)
        out += (i ? ", " : "") + holders[i];
    return out;
}

std::string PermissionReason(const std::string& port) {
    struct stat st {};
    std::string group = "dialout";
    if (stat(port.c_str(), &st) == 0) {
        const struct group* g = getgrgid(st.st_gid);
        group = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    }
    return "permission denied: the user is not allowed to open it; an administrator adds the "
           "user to the " +
           group + " group (sudo usermod -aG " + group +
           " $USER), which takes effect at the next login";
}

}  // namespace

std::string PortOpenReason(const std::string& port) {
    struct stat st {};
    if (lstat(port.c_str(), &st) != 0)
        return "no such file";
    if (stat(port.c_str(), &st) != 0)
        return "no such file (" + port + " is a link to nothing)";
    if (S_ISDIR(st.st_mode))
        return "it is a folder, not a serial port";
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EACCES || e == EPERM)
            return PermissionReason(port);
        if (e == EBUSY)  // another user's exclusive open
            return HeldReason(port);
        if (e == ENXIO || e == ENODEV || e == EIO)
            return "no device answers behind it (unplugged?): " + Lower(std::strerror(e));
        return Lower(std::strerror(e));
    }
    std::string reason;
    if (!isatty(fd)) {
        reason = "not a serial port (not a terminal device)";
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        reason = errno == EWOULDBLOCK ? HeldReason(port) : Lower(std::strerror(errno));
    } else {
        flock(fd, LOCK_UN);
    }
    close(fd);
    return reason;
}

std::vector<std::string> PortSharers(const std::string& port) {
    struct stat target {};
    std::vector<std::string> found;
    if (stat(port.c_str(), &target) != 0 || !S_ISCHR(target.st_mode))
        return found;
    // A pseudo-terminal's far end (a simulator) holds its master and often the port as well:
    // that is the device, not a second user.
    const bool pts = major(target.st_rdev) >= 136 && major(target.st_rdev) <= 143;
    const long ptsIndex =
        pts ? static_cast<long>((major(target.st_rdev) - 136) * 256 + minor(target.st_rdev)) : -2;
    for (long pid : Pids()) {
        if (pid == getpid())
            continue;
        const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
        DIR* d = opendir(fdDir.c_str());
        if (d == nullptr)
            continue;
        bool holds = false, farEnd = false;
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            struct stat st {};
            if (stat((fdDir + "/" + e->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
                continue;
            if (st.st_rdev == target.st_rdev)
                holds = true;
            else if (pts && major(st.st_rdev) == 5 && minor(st.st_rdev) == 2)
                farEnd = farEnd || MasterIndex("/proc/" + std::to_string(pid) + "/fdinfo/" +
                                               e->d_name) == ptsIndex;
        }
        closedir(d);
        if (holds && !farEnd)
            found.push_back(ProcessName(pid));
    }
    return found;
}

}  // namespace halvexctl
