#include "fault.h"

#include <algorithm>
#include <iterator>

namespace halvex::sim {

const char kFaultUsage[] =
    "fault SLOT off|flood|garbage N [SEED]|nul [POS]|cr|trickle MS|split POS [MS]|"
    "late MS [persist], or fault SLOT silent-after N";

namespace {

constexpr long long kMaxGarbage = 64 * 1024;
constexpr long long kMaxPosition = 64 * 1024;
constexpr int kDefaultSplitPauseMs = 20;
// In the order of Fault::Mode.
const char* const kModeNames[] = {"off",     "flood", "garbage", "nul",         "cr",
                                  "trickle", "split", "late",    "silent-after"};

// The reply with a pause of `ms` before byte `at` (none when the reply is shorter).
Script SplitAt(std::string reply, size_t at, int ms) {
    if (at >= reply.size())
        return {Step::Send(std::move(reply))};
    return {Step::Send(reply.substr(0, at)), Step::Pause(ms), Step::Send(reply.substr(at))};
}

}  // namespace

std::string FloodBytes() {
    std::string bytes(kFloodSize, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>('A' + i % 26);
    return bytes;
}

std::optional<Fault> Fault::Parse(std::vector<std::string_view> a) {
    Fault f;
    if (!a.empty() && a.back() == "persist") {
        f.persist = true;
        a.pop_back();
    }
    size_t mode = 0;
    while (!a.empty() && mode < std::size(kModeNames) && a[0] != kModeNames[mode])
        ++mode;
    if (a.empty() || mode == std::size(kModeNames))
        return std::nullopt;
    f.mode = static_cast<Mode>(mode);
    const size_t n = a.size() - 1;  // arguments after the mode
    long long seed = 1;
    bool ok = false;
    switch (f.mode) {
        case Mode::None:
            ok = n == 0 && !f.persist;
            break;
        case Mode::Flood:
        case Mode::Cr:
            ok = n == 0;
            break;
        case Mode::Garbage:
            ok = (n == 1 || n == 2) && ParseUnsigned(a[1], kMaxGarbage, &f.count) && f.count > 0 &&
                 (n == 1 || ParseUnsigned(a[2], 4294967295LL, &seed));
            f.seed = static_cast<unsigned long>(seed);
            f.random.seed(static_cast<std::mt19937::result_type>(seed));
            break;
        case Mode::Nul:
            ok = n == 0 || (n == 1 && ParseUnsigned(a[1], kMaxPosition, &f.count));
            break;
        case Mode::Trickle:
        case Mode::Late:
            ok = n == 1 && ParseMs(a[1], &f.ms);
            break;
        case Mode::Split:
            f.ms = kDefaultSplitPauseMs;
            ok = (n == 1 || n == 2) && ParseUnsigned(a[1], kMaxPosition, &f.count) && f.count > 0 &&
                 (n == 1 || ParseMs(a[2], &f.ms));
            break;
        case Mode::SilentAfter:
            ok = n == 1 && !f.persist && ParseUnsigned(a[1], 999999999LL, &f.count);
            break;
    }
    return ok ? std::optional<Fault>(f) : std::nullopt;
}

std::string Fault::Text() const {
    std::string text = kModeNames[static_cast<size_t>(mode)];
    const std::string n = ":" + std::to_string(count);
    if (mode == Mode::None)
        return text;
    if (mode == Mode::SilentAfter)
        return text + ":left=" + std::to_string(count);
    if (mode == Mode::Garbage)
        text += n + ":seed=" + std::to_string(seed);
    else if (mode == Mode::Nul || mode == Mode::Split)
        text += n;
    if (mode == Mode::Trickle || mode == Mode::Split || mode == Mode::Late)
        text += ":" + std::to_string(ms);
    return persist ? text + ":persist" : text;
}

Script Fault::Apply(std::optional<std::string> reply) {
    Script script;
    if (mode == Mode::SilentAfter) {
        // Stays until "fault SLOT off".
        if (count > 0 && reply)
            script.push_back(Step::Send(std::move(*reply)));
        count = std::max(0LL, count - 1);
        return script;
    }
    if (mode == Mode::Flood) {
        // Offered at once: a card that floods does not wait for the host to read.
        script.push_back(Step::Offer(FloodBytes()));
    } else if (mode == Mode::Garbage) {
        std::string bytes(static_cast<size_t>(count), '\0');
        for (char& c : bytes)
            c = static_cast<char>(random() & 0xFF);
        script.push_back(Step::Offer(std::move(bytes)));
    } else if (reply && mode == Mode::Nul) {
        reply->insert(std::min<size_t>(static_cast<size_t>(count), reply->size()), 1, '\0');
        script.push_back(Step::Send(std::move(*reply)));
    } else if (reply && mode == Mode::Cr) {
        std::replace(reply->begin(), reply->end(), '\n', '\r');
        script.push_back(Step::Send(std::move(*reply)));
    } else if (reply && mode == Mode::Trickle) {
        for (size_t i = 0; i < reply->size(); ++i) {
            if (i > 0)
                script.push_back(Step::Pause(ms));
            script.push_back(Step::Send(reply->substr(i, 1)));
        }
    } else if (reply && mode == Mode::Split) {
        script = SplitAt(std::move(*reply), static_cast<size_t>(count), ms);
    } else if (reply && mode == Mode::Late) {
        script = {Step::Pause(ms), Step::Send(std::move(*reply))};
    }
    if (!persist)
        *this = Fault{};
    return script;
}

}  // namespace halvex::sim
