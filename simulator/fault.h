// A misbehaviour of one slot's replies on the command port, set by the "fault" request: what the
// card sends instead of its proper reply.
#pragma once

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "reply_queue.h"

namespace halvex::sim {

extern const char kFaultUsage[];

// The bytes of a flood: the alphabet over and over, no line end anywhere.
std::string FloodBytes();
constexpr size_t kFloodSize = 64 * 1024;

struct Fault {
    enum class Mode { None, Flood, Garbage, Nul, Cr, Trickle, Split, Late, SilentAfter };
    Mode mode = Mode::None;
    long long count = 0;  // garbage: bytes; nul and split: position; silent-after: replies left
    int ms = 0;           // trickle, split and late
    bool persist = false;
    unsigned long seed = 1;
    std::mt19937 random;  // the garbage stream, the same for the same seed on every platform

    // "MODE [ARG...] [persist]" as the request gives it; nothing for anything else.
    static std::optional<Fault> Parse(std::vector<std::string_view> args);
    // As "state" shows it: "late:90", "garbage:16:seed=7:persist", "silent-after:left=2".
    std::string Text() const;
    // The steps sent instead of `reply` (none: the card stays silent). Spends a fault that does
    // not persist.
    Script Apply(std::optional<std::string> reply);
};

}  // namespace halvex::sim
