// Client of the simulated chassis's control channel: set up cards and reply shapes, read the log.
#pragma once

#include <string>
#include <vector>

#include "support/sim_control.h"

namespace halvex_test {

using WireLine = LogEntry;

class SimClient {
  public:
    explicit SimClient(const std::string& hostPort);  // "127.0.0.1:4567"

    // Sends one request and returns its reply line; fails the test on "ERR".
    std::string Request(const std::string& line);
    void Reset() { Request("reset"); }
    void Card(int slot, const std::string& model, const std::string& idText);
    void RawIdn(int slot, const std::string& bytes);
    // The next command to `slot` is answered by these steps instead ("hex:..", "wait:MS", "none").
    void Next(int slot, const std::string& steps);
    void Delay(int slot, int ms);
    void Status(int slot, int statusByte);
    void Photo(int slot, const std::string& bytes);
    // A misbehaving reply to the slot's next command ("flood", "late 90", "cr persist", "off").
    void Fault(int slot, const std::string& mode);
    // Closes a port's pty ("cmd", "mon03"): at once, or right after the next line it receives.
    void Vanish(const std::string& port, bool afterLine = false);
    // A fresh pty for a vanished port, behind the same link.
    void Replug(const std::string& port);
    // Waits `settleMs` first, so a line just written has reached the simulator.
    std::vector<WireLine> Log(int settleMs = 30);
    // Only the command port's lines.
    std::vector<std::string> CommandLines(int settleMs = 30);
    void ClearLog() { Request("clearlog"); }

  private:
    ControlChannel channel_;
};

void SleepMs(int ms);

}  // namespace halvex_test
