#include "reply_queue.h"

namespace halvex::sim {

void ReplyQueue::Add(int channel, int port, const Script& steps, TimePoint now) {
    if (channel < 0 || channel >= kChannels || steps.empty())
        return;
    Channel& ch = channels_[channel];
    ch.port = port;
    if (ch.steps.empty() && ch.readyAt < now)
        ch.readyAt = now;
    ch.steps.insert(ch.steps.end(), steps.begin(), steps.end());
}

std::vector<Output> ReplyQueue::Advance(TimePoint now) {
    std::vector<Output> out;
    for (Channel& ch : channels_) {
        while (!ch.steps.empty() && ch.readyAt <= now) {
            Step step = std::move(ch.steps.front());
            ch.steps.pop_front();
            if (step.kind == Step::Kind::Wait) {
                // Waits count from when the previous step was due, so a late wake-up of the
                // loop does not stretch a script.
                ch.readyAt += std::chrono::milliseconds(step.waitMs);
            } else if (!step.bytes.empty()) {
                if (!out.empty() && out.back().port == ch.port && out.back().lossy == step.lossy) {
                    out.back().bytes += step.bytes;
                } else {
                    out.push_back({ch.port, std::move(step.bytes), step.lossy});
                }
            }
        }
    }
    return out;
}

std::optional<TimePoint> ReplyQueue::NextDeadline() const {
    std::optional<TimePoint> next;
    for (const Channel& ch : channels_) {
        if (ch.steps.empty())
            continue;
        if (!next || ch.readyAt < *next)
            next = ch.readyAt;
    }
    return next;
}

void ReplyQueue::Clear() {
    for (Channel& ch : channels_) {
        ch.steps.clear();
        ch.readyAt = TimePoint{};
    }
}

}  // namespace halvex::sim
