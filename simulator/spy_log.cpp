#include "spy_log.h"

namespace halvex::sim {

namespace {

constexpr size_t kMaxEntries = 100000;

}  // namespace

std::string SpyLog::Entry(size_t stream, const std::string& stamp, std::string_view bytes) {
    const int port = static_cast<int>(stream / 2);
    const char* arrow = stream % 2 == 0 ? " <- " : " -> ";
    return stamp + " " + PortName(port) + arrow + Printable(bytes);
}

void SpyLog::Append(std::string entry) {
    if (trace_)
        trace_(entry);
    if (entries_.size() >= kMaxEntries)
        entries_.pop_front();
    entries_.push_back(std::move(entry));
}

void SpyLog::Record(int port, Direction direction, std::string_view bytes, TimePoint now,
                    const std::string& stamp) {
    if (port < 0 || port >= kPortCount || bytes.empty())
        return;
    Stream& stream = StreamOf(port, direction);
    const size_t index = static_cast<size_t>(&stream - streams_.data());
    // A line that sat idle past the time-out before these bytes came is a line of its own, even
    // when the loop got round to it late.
    if (std::optional<std::string> idle = stream.splitter.Expire(now, lineTimeout_))
        Append(Entry(index, stream.stamp, *idle));
    stream.stamp = stamp;
    for (LineSplitter::Chunk& chunk : stream.splitter.Feed(bytes, now))
        Append(Entry(index, stamp, chunk.bytes));
}

void SpyLog::Advance(TimePoint now) {
    for (size_t i = 0; i < streams_.size(); ++i) {
        if (std::optional<std::string> idle = streams_[i].splitter.Expire(now, lineTimeout_))
            Append(Entry(i, streams_[i].stamp, *idle));
    }
}

std::optional<TimePoint> SpyLog::NextDeadline() const {
    std::optional<TimePoint> next;
    for (const Stream& stream : streams_) {
        std::optional<TimePoint> due = stream.splitter.Deadline(lineTimeout_);
        if (due && (!next || *due < *next))
            next = due;
    }
    return next;
}

std::vector<std::string> SpyLog::Snapshot() const {
    std::vector<std::string> lines(entries_.begin(), entries_.end());
    for (size_t i = 0; i < streams_.size(); ++i) {
        if (!streams_[i].splitter.Pending().empty())
            lines.push_back(Entry(i, streams_[i].stamp, streams_[i].splitter.Pending()));
    }
    return lines;
}

}  // namespace halvex::sim
