// Cuts the byte stream of one port into lines, with a limit on idle and overlong partial lines.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

class LineSplitter {
  public:
    struct Chunk {
        std::string bytes;
        // True for a line that ends in "\n"; false for a piece cut off because it grew too long.
        bool complete = false;
    };

    LineSplitter() = default;
    explicit LineSplitter(size_t maxLine) : maxLine_(maxLine) {}

    // Appends received bytes and returns every chunk they complete, in order.
    std::vector<Chunk> Feed(std::string_view bytes, TimePoint now);
    // Hands back the partial line once no byte has arrived for `idle` (never when idle is 0).
    std::optional<std::string> Expire(TimePoint now, std::chrono::milliseconds idle);
    // When Expire would next hand something back.
    std::optional<TimePoint> Deadline(std::chrono::milliseconds idle) const;
    const std::string& Pending() const { return pending_; }
    void Clear() { pending_.clear(); }

  private:
    size_t maxLine_ = 4096;
    std::string pending_;
    TimePoint lastByte_{};
};

}  // namespace halvex::sim
