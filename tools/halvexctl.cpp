// halvexctl: brings a Halvex chassis up on the bench from the command line.
//
// Commands, relay kinds and options are tables; parsing, help, the man page and the bash
// completion are all made from them, so they cannot drift apart.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "core/vocabulary.h"
#include "halvex.h"

namespace halvexctl {
namespace {

constexpr int kUsageError = 64;  // outside the library's result codes
constexpr int kNoReply = 4;      // also a watch that ends while its inputs are silent
constexpr int kNoCard = 69;      // the port opened but no card answered discovery
constexpr int kNoReplyRun = 3;  // no-reply results in a row after which the shell suspects the port

struct UsageError {
    UsageError(std::string m, std::string c = "") : message(std::move(m)), command(std::move(c)) {}
    std::string message;
    std::string command;  // names the help to point at; empty for the global help
};

// ---- Relay kinds ------------------------------------------------------------------------------

// Every relay export, called as (card, a, b); exports with fewer arguments ignore the rest.
using RelayCall = int32_t (*)(int32_t card, int32_t a, int32_t b);

using Shape = halvex::RelayShape;

struct ModelCalls {
    const char* model;  // null: no further model has this kind
    const char* closeExport;
    const char* openExport;
    RelayCall close;
    RelayCall open;
};

struct RelayKind {
    const char* name;
    const char* args;
    Shape shape;
    const char* summary;
    ModelCalls models[3];  // the models that have it, in the vocabulary's order
};

// The kinds and their exports, from the vocabulary: a model's calls exist only where it has
// the kind, since an export of another model is not there to name.
#define HX_IF_0(...)
#define HX_IF_1(...) __VA_ARGS__
#define HX_IF(flag, ...) HX_IF_##flag(__VA_ARGS__)
#define HX_CALL_RowColumn(fn) [](int32_t c, int32_t a, int32_t b) { return fn(c, a, b); }
#define HX_CALL_RowLine(fn) [](int32_t c, int32_t a, int32_t b) { return fn(c, a, b); }
#define HX_CALL_Number(fn) [](int32_t c, int32_t a, int32_t) { return fn(c, a); }
#define HX_CALL_Single(fn) [](int32_t c, int32_t, int32_t) { return fn(c); }
#define HX_CALLS(model, object, shape)                                                             \
    {#model, "Close" #model #object, "Open" #model #object, HX_CALL_##shape(Close##model##object), \
     HX_CALL_##shape(Open##model##object)},
const RelayKind kRelayKinds[] = {
#define HX_RELAY(id, name, args, shape, group, sub, object, x16, x48, y48, formerly, summary) \
    {name,                                                                                    \
     args,                                                                                    \
     Shape::k##shape,                                                                         \
     summary,                                                                                 \
     {HX_IF(x16, HX_CALLS(X16, object, shape)) HX_IF(x48, HX_CALLS(X48, object, shape))       \
          HX_IF(y48, HX_CALLS(Y48, object, shape))}},
#include "core/vocabulary.inc"
};
#undef HX_IF_0
#undef HX_IF_1
#undef HX_IF
#undef HX_CALL_RowColumn
#undef HX_CALL_RowLine
#undef HX_CALL_Number
#undef HX_CALL_Single
#undef HX_CALLS

std::string Models(const RelayKind& kind) {
    std::string out;
    for (const ModelCalls& m : kind.models) {
        if (m.model != nullptr)
            out += (out.empty() ? "" : ", ") + std::string(m.model);
    }
    return out;
}

// ---- Options and commands --------------------------------------------------------------------

struct Options {
    std::string port;
    std::string monitorPort;
    bool json = false;
    bool keepGoing = false;
    bool allowGroupRows = false;
    double interval = 0.2;
    double duration = -1.0;
    std::string script;  // the script and line a command comes from; line 0: the command line
    int line = 0;
};

struct OptionDef {
    const char* name;
    const char* value;     // null: a flag
    const char* commands;  // the commands it is for; null: every command
    bool perLine;          // may be given on a line of a script or the shell
    const char* help;
};

const OptionDef kOptions[] = {
    {"--port", "PORT", "list identify self-test reset close open read watch run shell", false,
     "command port (default: $HALVEX_PORT)"},
    {"--monitor-port", "PORT", "read watch", true,
     "the card's monitoring port (default: $HALVEX_MONITOR_PORT)"},
    {"--interval", "SECONDS", "watch", true, "polling interval of watch (default 0.2)"},
    {"--duration", "SECONDS", "watch", true, "stop watch after this long (default: until Ctrl-C)"},
    {"--allow-group-rows", nullptr, "close open", true,
     "send matrix rows whose wire form is a relay group's (see close --help)"},
    {"--keep-going", nullptr, "run", false,
     "run every line; the exit status is the first failure's"},
    {"--json", nullptr, nullptr, false, "one JSON object per result on standard output"},
    {"--help", nullptr, nullptr, true, "this help, or a command's with COMMAND --help"},
    {"--version", nullptr, nullptr, false, "the version of halvexctl"},
};

struct Invocation {
    Options options;
    std::vector<std::string> args;  // the command and its arguments
    bool help = false;
};

class Session;

struct Command {
    const char* name;
    const char* args;
    const char* models;
    const char* exports;
    const char* summary;
    const char* details;  // for COMMAND --help and the man page; may be empty
    bool usesPort;        // opens the command port (once per session)
    bool inScripts;       // may be a line of run and shell
    void (*check)(const Invocation&);
    int (*run)(Session&, const Invocation&);
};

const Command* FindCommand(const std::string& name);

// ---- Output -----------------------------------------------------------------------------------

std::string Message(int32_t code) {
    char buffer[HALVEX_MESSAGE_MAX];
    GetHalvexErrorInfo(code, buffer, sizeof(buffer));
    return Cp949ToUtf8(buffer);
}

const char* English(int32_t code) {
    if (code == kNoCard)
        return "no card answered discovery";
    return halvex::ResultOf(code).english;
}

// The length of the well-formed UTF-8 sequence at s[i], or 0 when the byte there starts none.
size_t Utf8Length(const std::string& s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80             ? 1
               : (c & 0xe0) == 0xc0 ? 2
               : (c & 0xf0) == 0xe0 ? 3
               : (c & 0xf8) == 0xf0 ? 4
                                    : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    unsigned long cp = n == 1 ? c : c & (0x7f >> n);
    for (size_t k = 1; k < n; ++k) {
        const unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (t & 0x3f);
    }
    const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;  // overlong forms and surrogates are not text
    return n;
}

// JSON text: UTF-8 passes as it is; each byte that is not part of well-formed UTF-8 (a card's
// own bytes) becomes \u00XX, the code point of the same number.
std::string Json(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        char esc[8];
        const size_t n = c >= 0x80 ? Utf8Length(s, i) : 1;
        if (c >= 0x80 && n > 0) {
            out.append(s, i, n);
            i += n - 1;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x80) {
            std::snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A card's text for a terminal: line ends and control bytes made visible.
std::string Visible(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        char esc[8];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(esc, sizeof(esc), "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

// The card and relay a command line names, as JSON fields (none when it names none), and what
// a "no such card" or "another model" result should add; defined with the parser.
struct Target {
    bool hasCard = false;
    long long card = 0;
    std::string relay;
};
Target TargetOf(const std::string& what);
std::string TargetJson(const Target& t);
std::string CardDetail(int32_t code, const Target& t);

// Prints one result: "WHAT: OK" on standard output or "WHAT: error N: english (message)" on
// standard error, or its JSON object on standard output.
// A failure's `detail` says why or what to check; a script's line is named in both forms.
int Report(const Options& o, const std::string& what, int32_t code,
           const std::string& jsonExtra = "", const std::string& textExtra = "",
           std::string detail = "") {
    // The library has no message of its own for a chassis where no card answered.
    const std::string message = code == kNoCard ? English(code) : Message(code);
    const Target target = TargetOf(what);
    if (detail.empty())
        detail = CardDetail(code, target);
    if (o.json) {
        const std::string line = o.line > 0 ? ",\"line\":" + std::to_string(o.line) : "";
        const std::string why = detail.empty() ? "" : ",\"detail\":" + Json(detail);
        std::printf(
            "{\"command\":%s,\"code\":%d,\"result\":%d,\"english\":%s,\"message\":%s%s%s%s%s}"
            "\n",
            Json(what).c_str(), code, code, Json(English(code)).c_str(), Json(message).c_str(),
            TargetJson(target).c_str(), line.c_str(), jsonExtra.c_str(), why.c_str());
    } else if (code == 0) {
        std::printf("%s: OK%s\n", what.c_str(), textExtra.c_str());
    } else {
        std::fflush(stdout);
        const std::string where =
            o.line > 0 ? "halvexctl: " + o.script + ":" + std::to_string(o.line) + ": " : "";
        const std::string korean = code == kNoCard ? "" : " (" + message + ")";
        std::fprintf(stderr, "%s%s: error %d: %s%s%s\n", where.c_str(), what.c_str(), code,
                     English(code), korean.c_str(), detail.empty() ? "" : (": " + detail).c_str());
    }
    std::fflush(stdout);
    return code;
}

// One line naming the problem and where help is; with --json, an object like every result.
int ReportUsage(bool json, const std::string& what, const UsageError& e,
                const std::string& where = "") {
    const std::string hint =
        e.command.empty() ? "halvexctl --help" : "halvexctl " + e.command + " --help";
    if (json) {
        // The shape of every result; there is no library message, so both texts are English.
        std::printf(
            "{\"command\":%s,\"code\":%d,\"result\":%d,\"english\":\"usage error\","
            "\"message\":\"usage error\"%s,\"detail\":%s,\"hint\":%s}\n",
            Json(what).c_str(), kUsageError, kUsageError, TargetJson(TargetOf(what)).c_str(),
            Json(where + e.message).c_str(), Json(hint).c_str());
        std::fflush(stdout);
    } else {
        std::fflush(stdout);
        std::fprintf(stderr, "halvexctl: %s%s (see '%s')\n", where.c_str(), e.message.c_str(),
                     hint.c_str());
    }
    return kUsageError;
}

// Elapsed seconds on standard error while a long call runs, only when it is a terminal; the
// line is wiped when the call returns, so nothing of it stays in the output.
class Progress {
  public:
    Progress(std::string label, double limitS) : label_(std::move(label)), limitS_(limitS) {
        if (!IsTerminal(stderr))
            return;
        thread_ = std::thread([this] { Tick(); });
    }
    ~Progress() {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
        if (width_ > 0)
            std::fprintf(stderr, "\r%*s\r", width_, "");
        std::fflush(stderr);
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

  private:
    void Tick() {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        // The first half second stays quiet: most calls are over by then.
        while (!wake_.wait_for(lock, std::chrono::milliseconds(width_ == 0 ? 500 : 200),
                               [this] { return done_; })) {
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            char text[256];
            if (limitS_ > 0) {
                std::snprintf(text, sizeof(text), "%s: %.1f s of at most %.0f s", label_.c_str(), s,
                              limitS_);
            } else {
                std::snprintf(text, sizeof(text), "%s: %.1f s", label_.c_str(), s);
            }
            const int n = static_cast<int>(std::strlen(text));
            std::fprintf(stderr, "\r%s%*s", text, width_ > n ? width_ - n : 0, "");
            std::fflush(stderr);
            width_ = std::max(width_, n);
        }
    }

    std::string label_;
    double limitS_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    int width_ = 0;
};

// ---- The session: the command port opened and discovered once -------------------------------

struct SelfTestLimit {
    const char* model;
    double seconds;
};
// The time each model's card may take for its self test, as the library waits for it.
const SelfTestLimit kSelfTestLimits[] = {{"X16", 15}, {"X48", 50}, {"Y48", 5}};

// The model a card's identification names, as discovery registers it; "" for none.
std::string ModelIn(const char* idText) {
    for (const SelfTestLimit& l : kSelfTestLimits) {
        if (std::strstr(idText, l.model) != nullptr)
            return l.model;
    }
    return "";
}

class Session {
  public:
    explicit Session(std::string port) : port_(std::move(port)) {}
    ~Session() { Close(); }

    const std::string& port() const { return port_; }
    bool IsOpen() const { return open_; }

    // Opens the port and discovers the cards, once: a port that failed is not tried again
    // for every later line of a script. The caller reports a failure's code.
    int32_t Open() {
        if (tried_)
            return openResult_;
        tried_ = true;
        {
            Progress progress("discovering cards on " + port_ + " (slots 1-16)", 0);
            openResult_ = OpenHalvex(port_.c_str());
        }
        open_ = openResult_ == 0;
        if (!open_)
            return openResult_;
        // Our open is exclusive, but one made before it is not undone and reads our replies.
        for (const std::string& who : PortSharers(port_)) {
            std::fprintf(stderr,
                         "halvexctl: warning: %s is also open in %s, which may take the cards' "
                         "replies\n",
                         port_.c_str(), who.c_str());
        }
        if (Slots().empty())
            openResult_ = kNoCard;
        return openResult_;
    }

    // Closes the port and forgets the open, so the next command opens and discovers again.
    int32_t Forget() {
        tried_ = false;
        return Close();
    }

    // The slots discovery found cards in, in order.
    static std::vector<int32_t> Slots() {
        CardInfo* records = nullptr;
        int32_t count = 0;
        GetHalvexSeries(&records, &count);
        std::vector<int32_t> slots;
        for (int32_t i = 0; i < count; ++i)
            slots.push_back(records[i].cardNumber);
        if (records != nullptr)
            ReleaseSeries(records);
        return slots;
    }

    int32_t Close() {
        if (!open_)
            return 0;
        open_ = false;
        return CloseHalvex();
    }

    // The model designator of the card in `slot`, or "" when discovery found none there.
    static std::string ModelOf(int32_t slot) {
        CardInfo* records = nullptr;
        int32_t count = 0;
        GetHalvexSeries(&records, &count);
        std::string model;
        for (int32_t i = 0; i < count; ++i) {
            if (records[i].cardNumber == slot)
                model = ModelIn(records[i].idText);
        }
        if (records != nullptr)
            ReleaseSeries(records);
        return model;
    }

  private:
    std::string port_;
    bool open_ = false;
    bool tried_ = false;
    int32_t openResult_ = 0;
};

// ---- Parsing ----------------------------------------------------------------------------------

int32_t ParseInt(const std::string& text, const char* what) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) {
        throw UsageError{"bad " + std::string(what) + " '" + text + "': expected a whole number"};
    }
    return static_cast<int32_t>(v);
}

double ParseSeconds(const std::string& text, const char* what) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= 0.0) || v > 1e6) {
        throw UsageError{"bad " + std::string(what) + " '" + text + "': expected seconds"};
    }
    return v;
}

const OptionDef* FindOption(const std::string& name) {
    for (const OptionDef& d : kOptions) {
        if (name == d.name)
            return &d;
    }
    return nullptr;
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

// Parses a command line, or a line of a script on top of the session's options (`inScript`).
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

// Splits a line of a script into words: blanks separate, quotes group, '#' starts a comment.
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
    if (std::strstr(c->args, "RELAY") != nullptr && args.size() > 2)
        t.relay = Joined(std::vector<std::string>(args.begin() + 2, args.end()));
    return t;
}

std::string TargetJson(const Target& t) {
    if (!t.hasCard)
        return "";
    return ",\"card\":" + std::to_string(t.card) +
           (t.relay.empty() ? "" : ",\"relay\":" + Json(t.relay));
}

// Where the cards are, for a command that named an empty slot; which model the card is, for
// one that asked it for a relay or input it does not have.
std::string CardDetail(int32_t code, const Target& t) {
    if (code == 7) {
        std::string slots;
        for (int32_t slot : Session::Slots())
            slots += (slots.empty() ? "" : ", ") + std::to_string(slot);
        return slots.empty() ? "discovery found no card" : "the cards are in slots " + slots;
    }
    if (code == 8 && t.hasCard) {
        const std::string model = Session::ModelOf(static_cast<int32_t>(t.card));
        if (!model.empty()) {
            return "card " + std::to_string(t.card) + " is " + (model[0] == 'Y' ? "a " : "an ") +
                   model;
        }
    }
    return "";
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

constexpr int32_t kFirstSlot = 1, kLastSlot = 16;

// A card number is a slot of the chassis: anything else is a typo, caught before discovery.
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

// Rows, columns and relay numbers count from 0 or 1; a negative one is a typo.
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

// ---- Relay commands ---------------------------------------------------------------------------

struct RelayPlan {
    const RelayKind* kind;
    bool close;
    int32_t card, a, b;
};

// Refuses a matrix row that a card would read as a relay group code, showing the wire form.
void RefuseGroupRow(const RelayPlan& plan, const std::string& cmd) {
    using halvex::CommandFormat;
    using halvex::CommandId;
    const bool crosspoint = plan.kind->shape == Shape::kRowColumn;
    for (const halvex::RelayGroupInfo& g : halvex::kRelayGroups) {
        if (plan.a != g.code)
            continue;
        char wire[96], why[256];
        if (crosspoint) {
            std::snprintf(
                wire, sizeof(wire),
                CommandFormat(plan.close ? CommandId::kCloseRelay : CommandId::kOpenRelay),
                plan.card, plan.a, plan.b);
        } else {
            std::snprintf(wire, sizeof(wire),
                          CommandFormat(plan.close ? CommandId::kCloseLine : CommandId::kOpenLine),
                          plan.card, plan.a, plan.b ? "lo" : "hi");
        }
        wire[std::strcspn(wire, "\n")] = '\0';  // shown, not sent
        if (crosspoint)
            std::snprintf(why, sizeof(why), halvex::kGroupRowCrosspointText, plan.a, wire, g.name,
                          plan.b);
        else
            std::snprintf(why, sizeof(why), halvex::kGroupRowLineText, plan.a, wire, g.name);
        throw UsageError{std::string(why) + "; --allow-group-rows sends it anyway", cmd};
    }
}

RelayPlan PlanRelay(const Invocation& inv) {
    const std::string& cmd = inv.args[0];
    if (inv.args.size() < 3)
        throw UsageError{"missing arguments: usage: halvexctl " + cmd + " CARD RELAY [ARGS]", cmd};
    RelayPlan plan{nullptr, cmd == "close", CardArg(inv), 0, 0};
    for (const RelayKind& k : kRelayKinds) {
        if (inv.args[2] == k.name)
            plan.kind = &k;
    }
    if (plan.kind == nullptr) {
        std::string names;
        for (const RelayKind& k : kRelayKinds)
            names += (names.empty() ? "" : ", ") + std::string(k.name);
        throw UsageError{"unknown relay kind '" + inv.args[2] + "': expected one of " + names, cmd};
    }
    const RelayKind& k = *plan.kind;
    const size_t want = k.shape == Shape::kSingle ? 3 : k.shape == Shape::kNumber ? 4 : 5;
    if (inv.args.size() != want) {
        throw UsageError{std::string(inv.args.size() < want ? "missing" : "too many") +
                             " arguments: usage: halvexctl " + cmd + " CARD " + k.name +
                             (*k.args ? " " : "") + k.args,
                         cmd};
    }
    try {
        switch (k.shape) {
            case Shape::kRowColumn:
                plan.a = RelayNumber(inv.args[3], "row");
                plan.b = RelayNumber(inv.args[4], "column");
                break;
            case Shape::kRowLine:
                plan.a = RelayNumber(inv.args[3], "row");
                if (inv.args[4] != "hi" && inv.args[4] != "lo")
                    throw UsageError{"bad line '" + inv.args[4] + "': expected hi or lo"};
                plan.b = inv.args[4] == "lo" ? 1 : 0;
                break;
            case Shape::kNumber:
                plan.a = RelayNumber(inv.args[3], "relay number");
                break;
            case Shape::kSingle:
                break;
        }
    } catch (UsageError& e) {
        e.command = cmd;
        throw;
    }
    const bool rowed = k.shape == Shape::kRowColumn || k.shape == Shape::kRowLine;
    if (rowed && !inv.options.allowGroupRows)
        RefuseGroupRow(plan, cmd);
    return plan;
}

void CheckRelay(const Invocation& inv) {
    PlanRelay(inv);
}

// The export of the card's model, known since discovery; for a slot without a card or a model
// without the relay, the kind's first, so that the library answers 7 or 8 itself.
const ModelCalls& CallsFor(const RelayKind& kind, const std::string& model) {
    for (const ModelCalls& m : kind.models) {
        if (m.model != nullptr && model == m.model)
            return m;
    }
    return kind.models[0];
}

int RunRelay(Session&, const Invocation& inv) {
    const RelayPlan plan = PlanRelay(inv);
    const ModelCalls& m = CallsFor(*plan.kind, Session::ModelOf(plan.card));
    const int32_t rc = (plan.close ? m.close : m.open)(plan.card, plan.a, plan.b);
    return Report(inv.options, Joined(inv.args), rc);
}

// ---- Device commands --------------------------------------------------------------------------

void CheckNone(const Invocation& inv) {
    NeedCount(inv, 1);
}

void CheckCard(const Invocation& inv) {
    NeedCount(inv, 2);
    CardArg(inv);
}

void CheckMonitored(const Invocation& inv) {
    CheckCard(inv);
    NeedMonitorPort(inv);
}

int RunCodes(Session&, const Invocation& inv) {
    if (inv.options.json) {
        std::printf("{\"codes\":[");
        for (int c = 0; c <= 9; ++c) {
            std::printf("%s{\"code\":%d,\"english\":%s,\"message\":%s}", c ? "," : "", c,
                        Json(English(c)).c_str(), Json(Message(c)).c_str());
        }
        std::printf("]}\n");
        return 0;
    }
    for (int c = 0; c <= 9; ++c)
        std::printf("%d  %-40s %s\n", c, English(c), Message(c).c_str());
    return 0;
}

int RunList(Session& session, const Invocation& inv) {
    CardInfo* records = nullptr;
    int32_t count = 0;
    GetHalvexSeries(&records, &count);
    if (inv.options.json) {
        std::string cards = ",\"cards\":[";
        for (int32_t i = 0; i < count; ++i) {
            const std::string model = ModelIn(records[i].idText);
            cards += (i ? "," : "") + std::string("{\"card\":") +
                     std::to_string(records[i].cardNumber) +
                     ",\"model\":" + (model.empty() ? "null" : Json(model)) +
                     ",\"id\":" + Json(records[i].idText) + "}";
        }
        Report(inv.options, "list", 0, cards + "]");
    } else {
        for (int32_t i = 0; i < count; ++i) {
            const std::string model = ModelIn(records[i].idText);
            std::printf("slot %2d  %-7s  %s\n", records[i].cardNumber,
                        model.empty() ? "unknown" : model.c_str(),
                        Visible(records[i].idText).c_str());
        }
        std::printf("%d card%s on %s\n", count, count == 1 ? "" : "s", session.port().c_str());
    }
    if (records != nullptr)
        ReleaseSeries(records);
    return 0;
}

// A reply as the card sent it in JSON; on a terminal without the line end that closes it.
int DeviceText(const Invocation& inv, int32_t rc, const char* reply, int32_t length) {
    const std::string text = rc == kNoReply ? "" : reply;
    std::string shown = text;
    if (!shown.empty() && shown.back() == '\n')
        shown.pop_back();
    if (!shown.empty() && shown.back() == '\r')
        shown.pop_back();
    return Report(inv.options, Joined(inv.args), rc,
                  ",\"reply\":" + Json(text) + ",\"length\":" + std::to_string(length),
                  "  " + Visible(shown));
}

int RunIdentify(Session&, const Invocation& inv) {
    char reply[HALVEX_REPLY_MAX] = "";
    int32_t length = 0;
    const int32_t rc = QueryHalvexID(CardArg(inv), reply, &length);
    return DeviceText(inv, rc, reply, length);
}

int RunSelfTest(Session&, const Invocation& inv) {
    const int32_t card = CardArg(inv);
    const std::string model = Session::ModelOf(card);
    double limit = 0;
    for (const SelfTestLimit& l : kSelfTestLimits) {
        if (model == l.model)
            limit = l.seconds;
    }
    char reply[HALVEX_REPLY_MAX] = "";
    int32_t length = 0;
    int32_t rc;
    {
        Progress progress(
            "self-test of card " + std::to_string(card) + (model.empty() ? "" : " (" + model + ")"),
            limit);
        rc = SelfTestHalvex(card, reply, &length);
    }
    return DeviceText(inv, rc, reply, length);
}

int RunReset(Session&, const Invocation& inv) {
    return Report(inv.options, Joined(inv.args), ResetHalvex(CardArg(inv)));
}

std::string States(int raw) {
    std::string s;
    for (int i = 0; i < 8; ++i)
        s += (raw >> i) & 1 ? '0' : '1';  // a clear bit is an active input
    return s;
}

int RunRead(Session&, const Invocation& inv) {
    const std::string port = NeedMonitorPort(inv);
    const int32_t card = CardArg(inv);
    int32_t value = -1;
    const int32_t rc = Session::ModelOf(card) == "Y48"
                           ? GetY48SignalMonitoringData(card, port.c_str(), &value)
                           : GetX16SignalMonitoringData(card, port.c_str(), &value);
    char text[64] = "";
    std::string json;
    if (rc == 0) {
        std::snprintf(text, sizeof(text), "  inputs 1-8: %s (raw 0x%02x)", States(value).c_str(),
                      value);
        json = ",\"raw\":" + std::to_string(value) + ",\"states\":" + Json(States(value));
    }
    return Report(inv.options, Joined(inv.args), rc, json, text);
}

// ---- watch ------------------------------------------------------------------------------------

std::atomic<bool> gStop{false};
std::atomic<long long> gLastReadingMs{0};
std::mutex gPrint;
int gLast = -1;
int gCard = 0;
bool gJson = false;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string ClockStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%H:%M:%S", std::localtime(&t));
    return stamp + std::string(".") + std::to_string(1000 + ms).substr(1);
}

void HALVEX_CALLBACK OnReading(SignalStatus* status, int32_t count) {
    gLastReadingMs = NowMs();
    int raw = 0;
    for (int32_t i = 0; i < count && i < 8; ++i) {
        if (status[i].state == 0)
            raw |= 1 << (status[i].channel - 1);
    }
    std::lock_guard<std::mutex> lock(gPrint);
    if (raw == gLast)
        return;
    gLast = raw;
    const std::string stamp = ClockStamp();
    if (gJson) {
        std::printf("{\"time\":\"%s\",\"card\":%d,\"raw\":%d,\"states\":\"%s\"}\n", stamp.c_str(),
                    gCard, raw, States(raw).c_str());
    } else {
        std::printf("%s  card %d  inputs 1-8: %s (raw 0x%02x)\n", stamp.c_str(), gCard,
                    States(raw).c_str(), raw);
    }
    std::fflush(stdout);
}

int RunWatch(Session&, const Invocation& inv) {
    const Options& o = inv.options;
    const std::string port = NeedMonitorPort(inv);
    const int32_t card = CardArg(inv);
    gCard = card;
    gJson = o.json;
    gLast = -1;
    gStop = false;
    OnInterrupt([] { gStop = true; });
    const long long startMs = NowMs();
    gLastReadingMs = startMs;
    const bool y48 = Session::ModelOf(card) == "Y48";
    int32_t rc = y48 ? BeginY48SignalMonitoring(card, port.c_str(), o.interval, &OnReading)
                     : BeginX16SignalMonitoring(card, port.c_str(), o.interval, &OnReading);
    if (rc != 0) {
        OnInterrupt(nullptr);
        return Report(o, Joined(inv.args), rc);
    }
    std::fprintf(stderr, "watching card %d on %s every %.3g s; Ctrl-C stops\n", card, port.c_str(),
                 o.interval);
    // A monitor whose port has gone keeps waiting for it without a word; say so.
    const long long silentAfterMs = std::max(1000LL, static_cast<long long>(o.interval * 10000));
    bool silent = false;
    while (!gStop) {
        PauseMs(20);
        const long long now = NowMs();
        const long long quietMs = now - gLastReadingMs;
        if (!silent && quietMs >= silentAfterMs) {
            silent = true;
            std::lock_guard<std::mutex> lock(gPrint);
            std::fprintf(stderr, "%s  card %d: no reading for %.1f s: the inputs went silent\n",
                         ClockStamp().c_str(), card, quietMs / 1000.0);
        } else if (silent && quietMs < silentAfterMs) {
            silent = false;
            std::lock_guard<std::mutex> lock(gPrint);
            std::fprintf(stderr, "%s  card %d: readings resumed\n", ClockStamp().c_str(), card);
        }
        if (o.duration >= 0 && now - startMs >= static_cast<long long>(o.duration * 1000))
            break;
    }
    rc = y48 ? EndY48SignalMonitoring(card) : EndX16SignalMonitoring(card);
    OnInterrupt(nullptr);  // Ctrl-C ends the watch only; later in a script it ends the tool
    std::lock_guard<std::mutex> lock(gPrint);
    const std::string silence = silent ? ",\"silent\":true" : ",\"silent\":false";
    if (rc == 0 && silent)
        rc = kNoReply;
    return Report(o, Joined(inv.args) + " stopped", rc, silence);
}

// ---- ports ------------------------------------------------------------------------------------

int RunPorts(Session&, const Invocation& inv) {
    const char* root = std::getenv("HALVEX_PORTS_ROOT");  // a fake /dev and /sys, for tests
    const std::vector<SerialPort> ports = ListSerialPorts(root != nullptr ? root : "");
    if (inv.options.json) {
        std::string list = ",\"ports\":[";
        for (size_t i = 0; i < ports.size(); ++i) {
            const SerialPort& p = ports[i];
            std::string ids;
            for (const auto& id : p.byId)
                ids += (ids.empty() ? "" : ",") + Json(id);
            list += (i ? "," : "") + std::string("{\"device\":") + Json(p.device) +
                    ",\"open_as\":" + Json(p.openAs) + ",\"by_id\":[" + ids +
                    "],\"vendor_id\":" + Json(p.vendorId) + ",\"product_id\":" + Json(p.productId) +
                    ",\"serial_number\":" + Json(p.serialNumber) +
                    ",\"manufacturer\":" + Json(p.manufacturer) +
                    ",\"product\":" + Json(p.product) + ",\"kernel_name\":" + Json(p.kernelName) +
                    "}";
        }
        return Report(inv.options, "ports", 0, list + "]");
    }
    for (const SerialPort& p : ports) {
        std::string line = p.device;
        if (p.openAs != p.device)
            line += "  open as " + p.openAs;
        if (!p.vendorId.empty())
            line += "  usb " + p.vendorId + ":" + p.productId;
        const std::string text = Joined({p.manufacturer, p.product});
        if (!p.manufacturer.empty() || !p.product.empty())
            line += "  " + (p.manufacturer.empty() ? p.product : text);
        if (!p.serialNumber.empty())
            line += "  serial " + p.serialNumber;
        if (!p.kernelName.empty())
            line += "  " + p.kernelName;
        std::printf("%s\n", line.c_str());
        for (const auto& id : p.byId)
            std::printf("    %s\n", id.c_str());
    }
    std::printf("%u serial port%s\n", static_cast<unsigned>(ports.size()),
                ports.size() == 1 ? "" : "s");
    return 0;
}

// ---- run and shell ----------------------------------------------------------------------------

int Execute(Session& session, const Invocation& inv);
int OpenReported(Session& session, const Options& o, const std::string& what);

// A script line's words; a control character (a NUL would cut a word short in the library's
// strings) is refused with its column. A CR before the line end is a line end.
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

struct ScriptLine {
    int number;
    Invocation inv;
};

void CheckRun(const Invocation& inv) {
    NeedCount(inv, 2);
}

void CheckShell(const Invocation& inv) {
    NeedCount(inv, 1);
}

// Parses and checks one line of a script or the shell; throws UsageError.
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

int RunScript(Session& session, const Invocation& top) {
    const std::string& file = top.args[1];
    std::ifstream stream;
    std::istream* in = &std::cin;
    if (file != "-") {
        stream.open(file);
        if (!stream)
            throw UsageError{"cannot read the script '" + file + "'", "run"};
        in = &stream;
    }
    // Every line is checked before anything is sent: a typo on line 90 must not leave the
    // chassis half set up.
    // Every bad line is reported, so one edit fixes them all.
    std::vector<ScriptLine> lines;
    std::string text;
    int number = 0;
    bool bad = false;
    while (std::getline(*in, text)) {
        ++number;
        try {
            const std::vector<std::string> words = ScriptWords(text);
            if (words.empty())
                continue;
            lines.push_back({number, ParseLine(words, top.options)});
            lines.back().inv.options.script = file;
            lines.back().inv.options.line = number;
        } catch (const UsageError& e) {
            ReportUsage(top.options.json, text, e, file + ":" + std::to_string(number) + ": ");
            bad = true;
        }
    }
    for (const ScriptLine& line : lines) {
        if (FindCommand(line.inv.args[0])->usesPort && session.port().empty()) {
            ReportUsage(top.options.json, Joined(line.inv.args),
                        {"no command port: give --port or set HALVEX_PORT", "run"},
                        file + ":" + std::to_string(line.number) + ": ");
            bad = true;
            break;  // one port for every line: once is enough
        }
    }
    if (bad)
        return kUsageError;
    int first = 0;
    std::vector<int> failed;
    size_t ran = 0;
    for (const ScriptLine& line : lines) {
        const int rc = Execute(session, line.inv);
        ++ran;
        if (rc == 0)
            continue;
        if (first == 0)
            first = rc;
        failed.push_back(line.number);
        if (!top.options.keepGoing) {
            std::fprintf(stderr, "halvexctl: %s:%d: stopped at the first failure (%d)\n",
                         file.c_str(), line.number, rc);
            break;
        }
    }
    if (top.options.keepGoing) {
        std::string numbers;
        for (int n : failed)
            numbers += (numbers.empty() ? "" : ", ") + std::to_string(n);
        if (top.options.json) {
            std::string list;
            for (int n : failed)
                list += (list.empty() ? "" : ",") + std::to_string(n);
            std::printf(
                "{\"command\":%s,\"code\":%d,\"result\":%d,\"english\":%s,\"lines\":%u,"
                "\"failed\":[%s]}\n",
                Json("run " + file).c_str(), first, first, Json(English(first)).c_str(),
                static_cast<unsigned>(ran), list.c_str());
            std::fflush(stdout);
        } else {
            std::fflush(stdout);
            std::fprintf(stderr, "halvexctl: %s: %u lines run, %u failed%s\n", file.c_str(),
                         static_cast<unsigned>(ran), static_cast<unsigned>(failed.size()),
                         failed.empty() ? "" : (" (lines " + numbers + ")").c_str());
        }
    }
    return first;
}

// The shell's own lines, for its help.
const char* const kShellHelp =
    "\nshell commands:\n"
    "  help [COMMAND]         this help, or a command's\n"
    "  reopen                 close the command port, open it again and discover the cards\n"
    "                         (after its adapter was unplugged and plugged in again)\n"
    "  quit, exit             leave the shell (so does end of input)\n";

std::atomic<bool> gPromptInterrupted{false};

void PrintHelp(const Command* c);

int RunShell(Session& session, const Invocation& top) {
    const bool prompt = IsTerminal(stdin);
    int first = 0;
    int noReplies = 0;
    std::string text;
    for (;;) {
        if (prompt) {
            std::printf("halvexctl> ");
            std::fflush(stdout);
        }
        // Ctrl-C at the prompt drops the line typed so far, as a shell does.
        if (prompt)
            OnInterrupt([] { gPromptInterrupted = true; });
        gPromptInterrupted = false;
        const bool got = static_cast<bool>(std::getline(std::cin, text));
        if (prompt)
            OnInterrupt(nullptr);
        if (!got) {
            if (!gPromptInterrupted)
                break;
            std::cin.clear();
            std::clearerr(stdin);
            std::printf("\n");
            continue;
        }
        std::vector<std::string> words;
        try {
            words = ScriptWords(text);
            if (words.empty())
                continue;
            if (words[0] == "quit" || words[0] == "exit")
                break;
            if (words[0] == "help") {
                const Command* c = words.size() > 1 ? FindCommand(words[1]) : nullptr;
                if (words.size() > 1 && c == nullptr)
                    throw UsageError{"unknown command '" + words[1] + "'"};
                PrintHelp(c);
                if (c == nullptr)
                    std::printf("%s", kShellHelp);
                continue;
            }
            int rc;
            if (words[0] == "reopen") {
                if (words.size() > 1)
                    throw UsageError{"reopen takes no arguments"};
                if (session.port().empty())
                    throw UsageError{"no command port: give --port or set HALVEX_PORT"};
                session.Forget();
                const std::string what = "reopen " + session.port();
                rc = OpenReported(session, top.options, what);
                if (rc == 0) {
                    const size_t n = Session::Slots().size();
                    Report(top.options, what, 0, ",\"cards\":" + std::to_string(n),
                           "  " + std::to_string(n) + " card" + (n == 1 ? "" : "s"));
                }
            } else {
                const Invocation inv = ParseLine(words, top.options);
                rc = Execute(session, inv);
            }
            // A port whose adapter went answers nothing, ever: say what brings it back.
            noReplies = rc == kNoReply ? noReplies + 1 : 0;
            if (noReplies == kNoReplyRun) {
                std::fflush(stdout);
                std::fprintf(stderr,
                             "halvexctl: %d commands in a row had no reply: the port %s may be "
                             "gone (adapter unplugged?); 'reopen' opens it again\n",
                             kNoReplyRun, session.port().c_str());
            }
            if (first == 0)
                first = rc;
        } catch (const UsageError& e) {
            ReportUsage(top.options.json, Joined(words), e);
            if (first == 0)
                first = kUsageError;
        }
    }
    if (prompt)
        std::printf("\n");
    return first;
}

// ---- The command table ------------------------------------------------------------------------

int RunHelp(Session&, const Invocation& inv);
void CheckHelp(const Invocation& inv) {
    if (inv.args.size() > 2)
        NeedCount(inv, 2);
    if (inv.args.size() == 2 && FindCommand(inv.args[1]) == nullptr)
        throw UsageError{"unknown command '" + inv.args[1] + "'"};
}

const Command kCommands[] = {
    {"list", "", "all", "OpenHalvex, GetHalvexSeries", "the cards that discovery finds", "", true,
     true, CheckNone, RunList},
    {"identify", "CARD", "all", "QueryHalvexID", "the card's identification reply", "", true, true,
     CheckCard, RunIdentify},
    {"self-test", "CARD", "all", "SelfTestHalvex", "run the card's self test",
     "Waits up to the model's limit: X16 15 s, X48 50 s, Y48 5 s. On a terminal, standard "
     "error shows the time elapsed.",
     true, true, CheckCard, RunSelfTest},
    {"reset", "CARD", "all", "ResetHalvex", "reset the card", "", true, true, CheckCard, RunReset},
    {"close", "CARD RELAY", "X16, X48, Y48", "Close<model><relay>", "close (connect) a relay",
     "A relay may also be named in one word, as the panel and the simulator name it: "
     "3:matrix:5:7, 3:row:5:lo, 3:ext-gp:3, 3:ground.",
     true, true, CheckRelay, RunRelay},
    {"open", "CARD RELAY", "X16, X48, Y48", "Open<model><relay>", "open a relay",
     "Relays are named as for close.", true, true, CheckRelay, RunRelay},
    {"read", "CARD", "X16, Y48", "GetX16SignalMonitoringData, GetY48SignalMonitoringData",
     "one reading of the signal inputs on the monitoring port", "", true, true, CheckMonitored,
     RunRead},
    {"watch", "CARD", "X16, Y48", "BeginX16SignalMonitoring, BeginY48SignalMonitoring",
     "a line whenever the inputs change, until Ctrl-C or --duration",
     "When no reading has come for ten intervals (at least 1 s), a line on standard error says "
     "the inputs went silent, and another when readings resume; a watch that ends while silent "
     "exits with 4.",
     true, true, CheckMonitored, RunWatch},
    {"codes", "", "-", "GetHalvexErrorInfo", "the result codes and their messages", "", false, true,
     CheckNone, RunCodes},
    {"ports", "", "-", "-", "the serial ports of this machine",
     "Linux: the /dev/serial/by-id names and the ttyS, ttyUSB and ttyACM devices, with the USB "
     "vendor, product and serial number. Windows: the COM ports of the registry, with the "
     "\\\\.\\ form that COM10 and above need.",
     false, true, CheckNone, RunPorts},
    {"run", "FILE", "-", "-", "run one command per line of FILE (- for standard input)",
     "The port is opened and the cards discovered once. Lines take the command-line syntax; "
     "'#' starts a comment. Every line is checked before any runs; the run stops at the first "
     "failure with its code, or with --keep-going runs every line and exits with the first "
     "failure's code.",
     false, false, CheckRun, RunScript},
    {"shell", "", "-", "-", "commands typed one per line, with help and quit",
     "Prompts when standard input is a terminal. The port is opened and the cards discovered "
     "once, at the first command that needs them. The exit status is the first failure's code.",
     false, false, CheckShell, RunShell},
    {"help", "[COMMAND]", "-", "-", "the help of halvexctl or of one command", "", false, false,
     CheckHelp, RunHelp},
};

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands) {
        if (name == c.name)
            return &c;
    }
    return nullptr;
}

// Options that apply to a command, in table order.
std::vector<const OptionDef*> OptionsFor(const Command* c) {
    std::vector<const OptionDef*> out;
    for (const OptionDef& d : kOptions) {
        if (c == nullptr || d.commands == nullptr) {
            out.push_back(&d);
            continue;
        }
        std::istringstream names(d.commands);
        std::string n;
        while (names >> n) {
            if (n == c->name)
                out.push_back(&d);
        }
    }
    return out;
}

std::string Synopsis(const Command& c) {
    return std::string(c.name) + (*c.args ? " " : "") + c.args;
}

void PrintOptions(const std::vector<const OptionDef*>& options) {
    for (const OptionDef* d : options) {
        const std::string left =
            std::string(d->name) + (d->value ? " " + std::string(d->value) : "");
        std::printf("  %-22s %s\n", left.c_str(), d->help);
    }
}

// Prints `text` in lines of at most 78 characters.
void PrintWrapped(const std::string& text) {
    std::istringstream in(text);
    std::string word, line;
    while (in >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > 78) {
            std::printf("%s\n", line.c_str());
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty())
        std::printf("%s\n", line.c_str());
}

// "Rows 10, 20, ... and 50 have the wire form of the GP relay, ... and single relay groups, ..."
std::string GroupRowsText() {
    std::string rows, groups;
    const size_t n = sizeof(halvex::kRelayGroups) / sizeof(halvex::kRelayGroups[0]);
    for (size_t i = 0; i < n; ++i) {
        const char* joint = i == 0 ? "" : i + 1 == n ? " and " : ", ";
        rows += joint + std::to_string(halvex::kRelayGroups[i].code);
        groups += joint + std::string(halvex::kRelayGroups[i].name);
    }
    return "Rows " + rows + " have the wire form of the " + groups +
           " groups, so a card would switch a relay of that group: they are refused unless "
           "--allow-group-rows is given.";
}

void PrintRelayKinds() {
    for (const RelayKind& k : kRelayKinds) {
        const std::string left = std::string(k.name) + (*k.args ? " " : "") + k.args;
        std::printf("  %-22s %s (%s)\n", left.c_str(), k.summary, Models(k).c_str());
    }
}

void PrintHelp(const Command* c) {
    if (c == nullptr) {
        std::printf("usage: halvexctl [OPTIONS] COMMAND [ARGS]\n\ncommands:\n");
        for (const Command& k : kCommands)
            std::printf("  %-22s %s\n", Synopsis(k).c_str(), k.summary);
        std::printf("\nRELAY of close and open:\n");
        PrintRelayKinds();
        std::printf("\noptions:\n");
        PrintOptions(OptionsFor(nullptr));
        std::printf(
            "\nResults go to standard output, errors and progress to standard error. The exit\n"
            "status is the library's result code (0 success), 64 for a usage error, or 69 when\n"
            "the port opened but no card answered discovery.\n"
            "'halvexctl COMMAND --help' describes one command.\n");
        return;
    }
    std::printf("usage: halvexctl [OPTIONS] %s\n\n%s.\n", Synopsis(*c).c_str(), c->summary);
    if (*c->details)
        PrintWrapped(c->details);
    if (c->run == RunRelay)
        PrintWrapped(GroupRowsText());
    if (std::strcmp(c->models, "-") != 0)
        std::printf("models: %s; library calls: %s\n", c->models, c->exports);
    if (c->run == RunRelay) {
        std::printf("\nRELAY:\n");
        PrintRelayKinds();
    }
    std::printf("\noptions:\n");
    PrintOptions(OptionsFor(c));
}

int RunHelp(Session&, const Invocation& inv) {
    PrintHelp(inv.args.size() > 1 ? FindCommand(inv.args[1]) : nullptr);
    return 0;
}

// Opens the session's port and reports a failure with what stands in the way.
int OpenReported(Session& session, const Options& o, const std::string& what) {
    const int32_t rc = session.Open();
    if (rc == 5)
        return Report(o, what, rc, "", "", PortOpenReason(session.port()));
    if (rc == kNoCard) {
        return Report(o, what, rc, "", "",
                      "check the port name (" + session.port() +
                          "), the cable, the chassis power, and that no other program uses the "
                          "port");
    }
    if (rc != 0)
        return Report(o, what, rc);
    return 0;
}

// Runs one checked command in the session, opening the port on first need.
int Execute(Session& session, const Invocation& inv) {
    const Command* c = FindCommand(inv.args[0]);
    if (inv.help) {
        PrintHelp(c);
        return 0;
    }
    try {
        if (c->usesPort && !session.IsOpen() && !inv.help) {
            if (session.port().empty())
                throw UsageError{"no command port: give --port or set HALVEX_PORT", c->name};
            const int32_t rc = OpenReported(session, inv.options, "open port " + session.port());
            if (rc != 0)
                return rc;
        }
        return c->run(session, inv);
    } catch (const UsageError& e) {
        return ReportUsage(inv.options.json, Joined(inv.args), e);
    }
}

// ---- Man page and completion ------------------------------------------------------------------

// Text for troff: backslashes doubled, hyphens as minus signs, no line starting with a dot.
std::string Roff(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out = "\\&" + out;
    return out;
}

void PrintMan() {
    std::printf(".TH HALVEXCTL 1 \"\" \"Halvex %s\" \"User Commands\"\n", HALVEX_VERSION);
    std::printf(".SH NAME\nhalvexctl \\- bring a Halvex relay chassis up on the bench\n");
    std::printf(".SH SYNOPSIS\n.B halvexctl\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]\n");
    std::printf(
        ".SH DESCRIPTION\nControls a chassis of Halvex relay cards over its command port. "
        "Results go to standard output, errors and progress to standard error.\n");
    std::printf(".SH COMMANDS\n");
    for (const Command& c : kCommands) {
        std::printf(".TP\n.B %s\n%s.\n", Roff(Synopsis(c)).c_str(), Roff(c.summary).c_str());
        if (*c.details)
            std::printf("%s\n", Roff(c.details).c_str());
        if (c.run == RunRelay)
            std::printf("%s\n", Roff(GroupRowsText()).c_str());
        if (std::strcmp(c.models, "-") != 0) {
            std::printf("Models: %s; library calls: %s.\n", Roff(c.models).c_str(),
                        Roff(c.exports).c_str());
        }
    }
    std::printf(".SH RELAYS\nThe RELAY of close and open:\n");
    for (const RelayKind& k : kRelayKinds) {
        const std::string left = std::string(k.name) + (*k.args ? " " : "") + k.args;
        std::printf(".TP\n.B %s\n%s (%s).\n", Roff(left).c_str(), Roff(k.summary).c_str(),
                    Roff(Models(k)).c_str());
    }
    std::printf(".SH OPTIONS\n");
    for (const OptionDef& d : kOptions) {
        const std::string left = std::string(d.name) + (d.value ? " " + std::string(d.value) : "");
        std::printf(".TP\n.B %s\n%s.\n", Roff(left).c_str(), Roff(d.help).c_str());
    }
    std::printf(
        ".SH ENVIRONMENT\n.TP\n.B HALVEX_PORT\nthe command port.\n.TP\n.B HALVEX_MONITOR_PORT\n"
        "the monitoring port of read and watch.\n");
    std::printf(".SH EXIT STATUS\n");
    for (int c = 0; c <= 8; ++c)
        std::printf(".TP\n.B %d\n%s.\n", c, Roff(English(c)).c_str());
    std::printf(".TP\n.B 64\na usage error.\n");
    std::printf(".TP\n.B %d\nthe port opened but no card answered discovery.\n", kNoCard);
}

void PrintCompletion() {
    std::string commands, kinds, valued, options;
    for (const Command& c : kCommands)
        commands += (commands.empty() ? "" : " ") + std::string(c.name);
    for (const RelayKind& k : kRelayKinds)
        kinds += (kinds.empty() ? "" : " ") + std::string(k.name);
    for (const OptionDef& d : kOptions) {
        options += (options.empty() ? "" : " ") + std::string(d.name);
        if (d.value != nullptr)
            valued += (valued.empty() ? "" : "|") + std::string(d.name);
    }
    std::printf(
        "# bash completion for halvexctl (made by halvexctl --completion bash)\n"
        "_halvexctl() {\n"
        "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"\" cmd=\"\" kind=\"\" i w\n"
        "    local -i pos=0\n"
        "    ((COMP_CWORD > 0)) && prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
        "    COMPREPLY=()\n"
        "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "        w=\"${COMP_WORDS[i]}\"\n"
        "        case \"$w\" in\n"
        "            %s) ((i++)) ;;\n"
        "            -*) ;;\n"
        "            *) if [[ -z $cmd ]]; then cmd=\"$w\"; else pos+=1; ((pos == 2)) && "
        "kind=\"$w\"; fi ;;\n"
        "        esac\n"
        "    done\n"
        "    case \"$prev\" in\n"
        "        --port|--monitor-port) COMPREPLY=($(compgen -f -- \"$cur\")); return 0 ;;\n"
        "        %s) return 0 ;;\n"
        "    esac\n"
        "    if [[ $cur == -* ]]; then\n"
        "        COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")); return 0\n"
        "    fi\n"
        "    if [[ -z $cmd ]]; then\n"
        "        COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")); return 0\n"
        "    fi\n"
        "    case \"$cmd\" in\n"
        "        close|open)\n"
        "            if ((pos == 1)); then COMPREPLY=($(compgen -W \"%s\" -- \"$cur\"))\n"
        "            elif [[ $kind == row ]] && ((pos == 3)); then\n"
        "                COMPREPLY=($(compgen -W \"hi lo\" -- \"$cur\"))\n"
        "            fi ;;\n"
        "        run) ((pos == 0)) && COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n"
        "        help) ((pos == 0)) && COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")) ;;\n"
        "    esac\n"
        "    return 0\n"
        "}\n"
        "complete -o filenames -F _halvexctl halvexctl\n",
        valued.c_str(), valued.c_str(), options.c_str(), commands.c_str(), kinds.c_str(),
        commands.c_str());
}

// ---- The command line -------------------------------------------------------------------------

int Main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    // Hidden: the build makes the man page and the completion from the tables above.
    if (words == std::vector<std::string>{"--help-man"}) {
        PrintMan();
        return 0;
    }
    if (words == std::vector<std::string>{"--completion", "bash"}) {
        PrintCompletion();
        return 0;
    }
    const bool json = std::find(words.begin(), words.end(), "--json") != words.end();
    Options base;
    if (const char* p = std::getenv("HALVEX_PORT"))
        base.port = p;
    if (const char* p = std::getenv("HALVEX_MONITOR_PORT"))
        base.monitorPort = p;
    Invocation inv;
    try {
        inv = Parse(words, base, false);
        if (!inv.args.empty() && inv.args[0] == "version") {
            std::printf("halvexctl %s\n", HALVEX_VERSION);
            return 0;
        }
        if (inv.args.empty()) {
            if (inv.help) {
                PrintHelp(nullptr);
                return 0;
            }
            throw UsageError{"no command given"};
        }
        const Command* c = FindCommand(inv.args[0]);
        if (c == nullptr)
            throw UsageError{"unknown command '" + inv.args[0] + "'"};
        if (inv.help) {
            PrintHelp(c);
            return 0;
        }
        c->check(inv);
        if (c->usesPort && inv.options.port.empty()) {
            throw UsageError{"no command port: give --port or set HALVEX_PORT", c->name};
        }
    } catch (const UsageError& e) {
        return ReportUsage(json, Joined(inv.args.empty() ? words : inv.args), e);
    }
    Session session(inv.options.port);
    int rc;
    try {
        rc = Execute(session, inv);
    } catch (const UsageError& e) {
        rc = ReportUsage(json, Joined(inv.args), e);
    }
    const int32_t closed = session.Close();
    return rc != 0 ? rc : closed;
}

}  // namespace
}  // namespace halvexctl

int main(int argc, char** argv) {
    return halvexctl::Main(argc, argv);
}
