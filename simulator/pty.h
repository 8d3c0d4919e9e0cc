// One pseudo-terminal of the simulated chassis: the master is the card's side, the slave path is
// what the driver opens as its serial port.
#pragma once

#include <string>

namespace halvex::sim {

class PseudoTerminal {
  public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair, sets the slave raw and keeps a descriptor of the slave open, so the
    // master never reports a hang-up while no client holds the port.
    bool Open(std::string* error);
    void Close();

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

  private:
    int master_ = -1;
    int slaveKeeper_ = -1;
    std::string slavePath_;
};

}  // namespace halvex::sim
