#include "line_splitter.h"

namespace halvex::sim {

std::vector<LineSplitter::Chunk> LineSplitter::Feed(std::string_view bytes, TimePoint now) {
    std::vector<Chunk> chunks;
    if (bytes.empty())
        return chunks;
    lastByte_ = now;
    for (char c : bytes) {
        pending_.push_back(c);
        if (c == '\n') {
            chunks.push_back({std::move(pending_), true});
            pending_.clear();
        } else if (pending_.size() >= maxLine_) {
            chunks.push_back({std::move(pending_), false});
            pending_.clear();
        }
    }
    return chunks;
}

std::optional<std::string> LineSplitter::Expire(TimePoint now, std::chrono::milliseconds idle) {
    std::optional<TimePoint> due = Deadline(idle);
    if (!due || now < *due)
        return std::nullopt;
    std::string partial = std::move(pending_);
    pending_.clear();
    return partial;
}

std::optional<TimePoint> LineSplitter::Deadline(std::chrono::milliseconds idle) const {
    if (pending_.empty() || idle.count() <= 0)
        return std::nullopt;
    return lastByte_ + idle;
}

}  // namespace halvex::sim
