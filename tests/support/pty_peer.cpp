#include "pty_peer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include <poll.h>
#include <unistd.h>

namespace halvex_test {

void SleepFor(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

PtyPeer::PtyPeer() {
    std::string error;
    if (!pty_.Open(&error))
        throw std::runtime_error("no pseudo-terminal: " + error);
    thread_ = std::thread([this] { Loop(); });
}

PtyPeer::~PtyPeer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    thread_.join();
}

void PtyPeer::Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(pty_.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // The master does not block: wait until the library has read enough to make room.
            pollfd pfd{pty_.master(), POLLOUT, 0};
            poll(&pfd, 1, -1);
            continue;
        }
        break;
    }
}

std::string PtyPeer::Received(int settleMs) {
    SleepFor(settleMs);
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& line : lines_)
        out += line;
    out += pending_;
    lines_.clear();
    pending_.clear();
    return out;
}

void PtyPeer::Respond(std::function<void(const std::string&, PtyPeer&)> responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

std::vector<std::string> PtyPeer::Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void PtyPeer::Loop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_)
                return;
        }
        pollfd pfd{pty_.master(), POLLIN, 0};
        if (poll(&pfd, 1, 5) <= 0 || !(pfd.revents & POLLIN))
            continue;
        char buf[512];
        ssize_t n = read(pty_.master(), buf, sizeof(buf));
        if (n <= 0)
            continue;
        std::vector<std::string> complete;
        std::function<void(const std::string&, PtyPeer&)> responder;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_.append(buf, static_cast<size_t>(n));
            size_t pos;
            while ((pos = pending_.find('\n')) != std::string::npos) {
                complete.push_back(pending_.substr(0, pos + 1));
                pending_.erase(0, pos + 1);
            }
            for (const auto& line : complete)
                lines_.push_back(line);
            responder = responder_;
        }
        if (responder) {
            for (const auto& line : complete)
                responder(line, *this);
        }
    }
}

}  // namespace halvex_test
