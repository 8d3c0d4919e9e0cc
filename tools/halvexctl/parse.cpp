#include "parse.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tables.h"

namespace halvexctl {

namespace {

constexpr int32_t kFirstSlot = 1, kLastSlot = 16;

double ParseSeconds(const std::string& text, const char* what) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= 0.0) || v > 1e6) {
        throw UsageError{"bad " + std::string(what) + " '" + text + "': expected seconds"};
    }
    return v;
}

// A relay named as everywhere else ("3:matrix:5:7", or "matrix:5:7" after the card) becomes the
// spaced form the relay commands take: close 3 matrix 5 7.
void SpaceRelayName(std::vector<std::string>& args) {
    if (args.size() < 2 || (args[0] != "close" && args[0] != "open"))
        return;
    const size_t at = args[1].find(':') != std::string::npos                      ? 1
                      : args.size() > 2 && args[2].find(':') != std::string::npos ? 2
                                                                                  : 0;
    if (at == 0)
        return;
    std::vector<std::string> parts;
    std::string rest = args[at];
    for (size_t colon; (colon = rest.find(':')) != std::string::npos; rest.erase(0, colon + 1))
        parts.push_back(rest.substr(0, colon));
    parts.push_back(rest);
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(at));
    args.insert(args.begin() + static_cast<std::ptrdiff_t>(at), parts.begin(), parts.end());
}

}  // namespace

int32_t ParseInt(const std::string& text, const char* what) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) {
        throw UsageError{"bad " + std::string(what) + " '" + text + "': expected a whole number"};
    }
    return static_cast<int32_t>(v);
}

Invocation Parse(const std::vector<std::string>& words, const Options& base, bool inScript) {
    Invocation inv;
    inv.options = base;
    Options& o = inv.options;
    for (size_t i = 0; i < words.size(); ++i) {
        std::string a = words[i];
        const std::string command = inv.args.empty() ? "" : inv.args[0];
        const bool looksLikeOption = a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9');
        if (!looksLikeOption) {
            inv.args.push_back(a);
            continue;
        }
        if (a == "-h")
            a = "--help";
        std::string value;
        const size_t eq = a.find('=');
        const bool inlineValue = a.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inlineValue) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
        }
        const OptionDef* def = FindOption(a);
        if (def == nullptr)
            throw UsageError{"unknown option '" + a + "'", command};
        if (inScript && !def->perLine) {
            throw UsageError{std::string(def->name) + " applies to the whole run, not to a line",
                             command};
        }
        if (def->value != nullptr && !inlineValue) {
            if (i + 1 >= words.size())
                throw UsageError{std::string(def->name) + " needs a value", command};
            value = words[++i];
        } else if (def->value == nullptr && inlineValue) {
            throw UsageError{std::string(def->name) + " takes no value", command};
        }
        if (a == "--port") {
            o.port = value;
        } else if (a == "--monitor-port") {
            o.monitorPort = value;
        } else if (a == "--fixture") {
            o.fixture = value;
        } else if (a == "--interval" || a == "--duration") {
            try {
                (a == "--interval" ? o.interval : o.duration) = ParseSeconds(value, a.c_str() + 2);
            } catch (UsageError& e) {
                e.command = command;
                throw;
            }
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--keep-going") {
            o.keepGoing = true;
        } else if (a == "--allow-group-rows") {
            o.allowGroupRows = true;
        } else if (a == "--help") {
            inv.help = true;
        } else if (a == "--version") {
            inv.args = {"version"};
            return inv;
        }
    }
    SpaceRelayName(inv.args);
    return inv;
}

Invocation ParseLine(const std::vector<std::string>& words, const Options& base) {
    Invocation inv = Parse(words, base, true);
    if (inv.args.empty())
        throw UsageError{"no command given"};
    const Command* c = FindCommand(inv.args[0]);
    if (c == nullptr)
        throw UsageError{"unknown command '" + inv.args[0] + "'"};
    if (!c->inScripts)
        throw UsageError{"'" + inv.args[0] + "' cannot run inside a script", c->name};
    if (!inv.help)
        c->check(inv);
    return inv;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == '#' && !inWord) {
            break;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote != 0)
        throw UsageError{"unterminated quote"};
    if (inWord)
        words.push_back(word);
    return words;
}

std::vector<std::string> ScriptWords(std::string line) {
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 && c != '\t') {
            char text[96];
            std::snprintf(text, sizeof(text),
                          "control character 0x%02x in column %u: lines take printable text only",
                          c, static_cast<unsigned>(i + 1));
            throw UsageError{text};
        }
    }
    return Words(line);
}

Target TargetOf(const std::string& what) {
    Target t;
    std::vector<std::string> words;
    try {
        words = Words(what);
    } catch (const UsageError&) {
        return t;
    }
    std::vector<std::string> args;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w.size() > 1 && w[0] == '-' && !(w[1] >= '0' && w[1] <= '9')) {
            const OptionDef* d = FindOption(w);
            if (d != nullptr && d->value != nullptr && w.find('=') == std::string::npos)
                ++i;  // its value
            continue;
        }
        args.push_back(w);
    }
    SpaceRelayName(args);
    const Command* c = args.empty() ? nullptr : FindCommand(args[0]);
    if (c == nullptr || std::strncmp(c->args, "CARD", 4) != 0 || args.size() < 2)
        return t;
    char* end = nullptr;
    errno = 0;
    const long long card = std::strtoll(args[1].c_str(), &end, 10);
    if (args[1].empty() || *end != '\0' || errno != 0)
        return t;
    t.hasCard = true;
    t.card = card;
    if (std::strstr(c->args, "RELAY") != nullptr && args.size() > 2) {
        std::string relay;
        for (size_t i = 2; i < args.size(); ++i)
            relay += (relay.empty() ? "" : " ") + args[i];
        t.relay = relay;
    }
    return t;
}

void NeedCount(const Invocation& inv, size_t count) {
    const Command* c = FindCommand(inv.args[0]);
    if (inv.args.size() != count) {
        throw UsageError{std::string(inv.args.size() < count ? "missing" : "too many") +
                             " arguments: usage: halvexctl " + c->name + (*c->args ? " " : "") +
                             c->args,
                         c->name};
    }
}

int32_t CardArg(const Invocation& inv) {
    int32_t card;
    try {
        card = ParseInt(inv.args[1], "card number");
    } catch (UsageError& e) {
        e.command = inv.args[0];
        throw;
    }
    if (card < kFirstSlot || card > kLastSlot) {
        throw UsageError{"bad card number '" + inv.args[1] + "': the slots are " +
                             std::to_string(kFirstSlot) + "-" + std::to_string(kLastSlot),
                         inv.args[0]};
    }
    return card;
}

int32_t RelayNumber(const std::string& text, const char* what) {
    const int32_t v = ParseInt(text, what);
    if (v < 0)
        throw UsageError{"bad " + std::string(what) + " '" + text + "': it cannot be negative"};
    return v;
}

std::string NeedMonitorPort(const Invocation& inv) {
    if (inv.options.monitorPort.empty()) {
        throw UsageError{"no monitoring port: give --monitor-port or set HALVEX_MONITOR_PORT",
                         inv.args[0]};
    }
    return inv.options.monitorPort;
}

void CheckNone(const Invocation& inv) {
    NeedCount(inv, 1);
}

void CheckDoctor(const Invocation& inv) {
    NeedCount(inv, 2);
}

void CheckCard(const Invocation& inv) {
    NeedCount(inv, 2);
    CardArg(inv);
}

void CheckMonitored(const Invocation& inv) {
    CheckCard(inv);
    NeedMonitorPort(inv);
}

}  // namespace halvexctl
