// What the spy saw: each direction of each port cut into lines, every line logged with the
// wall-clock time of its last byte. Bytes are recorded after they were forwarded, so nothing
// here ever holds traffic back. Time is passed in, as in the chassis.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chassis.h"
#include "line_splitter.h"

namespace halvex::sim {

enum class Direction { ToChassis, ToLibrary };

class SpyLog {
  public:
    using TraceFn = std::function<void(const std::string&)>;

    // A partial line idle this long is logged as it stands; 0 waits for its line end.
    void SetLineTimeout(std::chrono::milliseconds idle) { lineTimeout_ = idle; }
    // Called with each entry as it is logged.
    void SetTrace(TraceFn trace) { trace_ = std::move(trace); }

    // Bytes that passed through `port`; `stamp` is the wall-clock time they were read.
    void Record(int port, Direction direction, std::string_view bytes, TimePoint now,
                const std::string& stamp);
    void Advance(TimePoint now);
    std::optional<TimePoint> NextDeadline() const;

    // "HH:MM:SS.mmm cmd <- \"*IDN?(03)\\n\"": the logged entries, then the partial lines.
    std::vector<std::string> Snapshot() const;
    void Clear() { entries_.clear(); }

  private:
    struct Stream {
        LineSplitter splitter;
        std::string stamp;  // of the last byte
    };

    Stream& StreamOf(int port, Direction direction) {
        return streams_[static_cast<size_t>(port * 2 + (direction == Direction::ToLibrary))];
    }
    static std::string Entry(size_t stream, const std::string& stamp, std::string_view bytes);
    void Append(std::string entry);

    std::array<Stream, kPortCount * 2> streams_;
    std::deque<std::string> entries_;
    std::chrono::milliseconds lineTimeout_{100};
    TraceFn trace_;
};

}  // namespace halvex::sim
