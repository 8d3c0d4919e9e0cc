// The simulator's serial ends: a pseudo-terminal whose master is the card's side and whose slave
// path the driver opens as its serial port, and a real serial port opened as the driver opens its
// own, so that the spy holds a chassis port exactly as the station software would.
#pragma once

#include <string>

namespace halvex::sim {

class PseudoTerminal {
  public:
    PseudoTerminal() = default;
    ~PseudoTerminal() { Close(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair, non-blocking on the master, the slave raw; keeps a descriptor of the
    // slave open, so the master never reports a hang-up while no client holds the port.
    bool Open(std::string* error);
    void Close();

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

  private:
    int master_ = -1;
    int slaveKeeper_ = -1;
    std::string slavePath_;
};

// Non-blocking, exclusive (TIOCEXCL and flock), raw 115200 8N1 without flow control, queues
// flushed. Returns the descriptor, or -1 with the reason in `error`.
int OpenSerialDevice(const std::string& path, std::string* error);
// Clears TIOCEXCL so the port can be opened again, then closes it.
void CloseSerialDevice(int fd);

}  // namespace halvex::sim
