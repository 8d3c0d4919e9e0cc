// Timed replies: each channel plays its steps in order, and a wait on one channel never holds
// back another.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "line_splitter.h"

namespace halvex::sim {

struct Step {
    enum class Kind { Bytes, Wait };
    Kind kind = Kind::Bytes;
    std::string bytes;
    int waitMs = 0;
    // Offered once: what the port cannot hold at that moment is lost, as in a UART overrun.
    bool lossy = false;

    static Step Send(std::string b) { return {Kind::Bytes, std::move(b), 0, false}; }
    static Step Offer(std::string b) { return {Kind::Bytes, std::move(b), 0, true}; }
    static Step Pause(int ms) { return {Kind::Wait, {}, ms, false}; }
};
using Script = std::vector<Step>;

// Bytes due to be written to a port: 0 is the command port, 1..16 the monitoring ports.
struct Output {
    int port = 0;
    std::string bytes;
    bool lossy = false;  // see Step::Offer
};

class ReplyQueue {
  public:
    // Command port replies of slots 1..16, then the monitoring ports of slots 1..16.
    static constexpr int kChannels = 32;

    // Queues a reply behind whatever the channel still has to play; a trailing wait of an
    // earlier reply keeps the channel busy as a real card would be.
    void Add(int channel, int port, const Script& steps, TimePoint now);
    std::vector<Output> Advance(TimePoint now);
    std::optional<TimePoint> NextDeadline() const;
    void Clear();

  private:
    struct Channel {
        int port = 0;
        std::deque<Step> steps;
        TimePoint readyAt{};
    };
    std::array<Channel, kChannels> channels_{};
};

}  // namespace halvex::sim
