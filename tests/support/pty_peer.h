// The far end of a real pseudo-terminal, for tests that need exact reply shapes on the wire.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty.h"

namespace halvex_test {

class PtyPeer {
  public:
    // Opens a pty pair in raw mode; the library opens `path()` like any serial port.
    PtyPeer();
    ~PtyPeer();

    const std::string& path() const { return pty_.slavePath(); }

    // Writes bytes to the library's side, waiting while the pty's queue is full.
    void Send(const std::string& bytes);
    // Everything received since the last call (or since the responder consumed it).
    std::string Received(int settleMs = 20);

    // Each complete line the library sends is handed to `responder` on a peer thread, which
    // may Send and sleep to shape the reply. Lines are recorded for Lines().
    void Respond(std::function<void(const std::string& line, PtyPeer& peer)> responder);
    std::vector<std::string> Lines();

  private:
    void Loop();

    halvex::sim::PseudoTerminal pty_;  // keeps the pty alive while the library's side is closed
    std::mutex mutex_;
    std::string pending_;
    std::vector<std::string> lines_;
    std::function<void(const std::string&, PtyPeer&)> responder_;
    bool stop_ = false;
    std::thread thread_;
};

// Sleeps the calling thread.
void SleepFor(int ms);
// "OPEN(03)\n" as text with escapes, for readable failure messages.
std::string Printable(const std::string& bytes);

}  // namespace halvex_test
