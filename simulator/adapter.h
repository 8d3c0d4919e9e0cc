// A USB serial adapter between the cards and the host, as the common FTDI chips behave: the
// bytes a port receives are held until its latency timer runs out after the first of them or
// 62 have gathered, and at once with the event character when the host has set one.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "line_splitter.h"
#include "reply_queue.h"

namespace halvex::sim {

class UsbAdapter {
  public:
    static constexpr size_t kPacketPayload = 62;  // a 64-byte USB packet less 2 status bytes
    static constexpr char kEventChar = '\n';

    // 0: no adapter, bytes pass at once.
    void Set(int latencyMs, bool eventChar);
    int latencyMs() const { return latencyMs_; }
    bool eventChar() const { return eventChar_; }
    // "adapter:16" or "adapter:16:event-char"; empty without an adapter.
    std::string Text() const;

    // Takes what the cards send now; returns what reaches the host now, held bytes included.
    std::vector<Output> Pass(std::vector<Output> sent, TimePoint now);
    std::optional<TimePoint> NextDeadline() const;
    void Clear();

  private:
    struct Held {
        std::string bytes;
        TimePoint since{};
    };
    void Release(int port, size_t count, TimePoint now, std::vector<Output>* out);

    int latencyMs_ = 0;
    bool eventChar_ = false;
    std::array<Held, ReplyQueue::kChannels> held_{};
};

}  // namespace halvex::sim
