#include "adapter.h"

namespace halvex::sim {

void UsbAdapter::Set(int latencyMs, bool eventChar) {
    latencyMs_ = latencyMs;
    eventChar_ = latencyMs > 0 && eventChar;
}

std::string UsbAdapter::Text() const {
    if (latencyMs_ <= 0)
        return {};
    return "adapter:" + std::to_string(latencyMs_) + (eventChar_ ? ":event-char" : "");
}

void UsbAdapter::Release(int port, size_t count, TimePoint now, std::vector<Output>* out) {
    Held& held = held_[static_cast<size_t>(port)];
    if (count == 0)
        return;
    if (!out->empty() && out->back().port == port && !out->back().lossy)
        out->back().bytes += held.bytes.substr(0, count);
    else
        out->push_back({port, held.bytes.substr(0, count), false});
    held.bytes.erase(0, count);
    held.since = now;  // what stays starts a packet of its own
}

std::vector<Output> UsbAdapter::Pass(std::vector<Output> sent, TimePoint now) {
    std::vector<Output> out;
    const auto due = std::chrono::milliseconds(latencyMs_);
    for (int port = 0; port < static_cast<int>(held_.size()); ++port) {
        Held& held = held_[static_cast<size_t>(port)];
        if (!held.bytes.empty() && now >= held.since + due)
            Release(port, held.bytes.size(), now, &out);
    }
    for (Output& o : sent) {
        if (latencyMs_ <= 0 || o.port < 0 || o.port >= static_cast<int>(held_.size())) {
            out.push_back(std::move(o));
            continue;
        }
        Held& held = held_[static_cast<size_t>(o.port)];
        if (o.lossy) {
            // A flood overruns the adapter as it would the port: not held.
            Release(o.port, held.bytes.size(), now, &out);
            out.push_back(std::move(o));
            continue;
        }
        if (held.bytes.empty())
            held.since = now;
        held.bytes += o.bytes;
        size_t send = held.bytes.size() - held.bytes.size() % kPacketPayload;
        if (eventChar_) {
            const size_t at = held.bytes.rfind(kEventChar);
            if (at != std::string::npos && at + 1 > send)
                send = at + 1;
        }
        Release(o.port, send, now, &out);
    }
    return out;
}

std::optional<TimePoint> UsbAdapter::NextDeadline() const {
    std::optional<TimePoint> next;
    for (const Held& held : held_) {
        if (held.bytes.empty())
            continue;
        const TimePoint due = held.since + std::chrono::milliseconds(latencyMs_);
        if (!next || due < *next)
            next = due;
    }
    return next;
}

void UsbAdapter::Clear() {
    for (Held& held : held_)
        held = Held{};
}

}  // namespace halvex::sim
