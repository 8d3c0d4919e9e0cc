// halvexctl: brings a Halvex chassis up on the bench from the command line.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "console.h"
#include "halvex.h"

namespace halvexctl {
namespace {

constexpr int kUsageError = 64;  // outside the library's result codes

const char* const kEnglish[] = {
    "success",
    "the card rejected the command's format",
    "the card does not support the command",
    "a parameter is out of range",
    "no reply from the card",
    "the serial port cannot be opened",
    "the serial port cannot be closed",
    "no card with this number",
    "the card is of another model",
    "unknown result code",
};

const char kUsage[] =
    "usage: halvexctl [--port PORT] [--json] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  list                         the cards that discovery finds\n"
    "  identify CARD                the card's identification reply\n"
    "  self-test CARD               run the card's self test (up to 50 s)\n"
    "  reset CARD                   reset the card\n"
    "  close CARD RELAY             close a relay; RELAY is one of\n"
    "  open CARD RELAY              open a relay:\n"
    "       matrix ROW COLUMN       crosspoint (X16, X48)\n"
    "       row ROW hi|lo           a row's hi or lo line (X16, X48)\n"
    "       gp N | ext-gp N         GP and Ext GP relays (X16, Y48)\n"
    "       ps N | discharge N      PS and discharge relays (X16)\n"
    "       pull-up | pull-down | test-probe | ground   single relays (X16, X48)\n"
    "  read CARD                    one reading of the signal inputs (X16, Y48)\n"
    "  watch CARD                   a line whenever the inputs change, until Ctrl-C\n"
    "  codes                        the result codes and their messages\n"
    "\n"
    "options:\n"
    "  --port PORT          command port (default: $HALVEX_PORT)\n"
    "  --monitor-port PORT  the card's monitoring port for read and watch\n"
    "                       (default: $HALVEX_MONITOR_PORT)\n"
    "  --interval SECONDS   polling interval of watch (default 0.2)\n"
    "  --duration SECONDS   stop watch after this long (default: until Ctrl-C)\n"
    "  --json               one JSON object on standard output\n"
    "  --version            the version of halvexctl\n"
    "\n"
    "The exit status is the library's result code (0 success), or 64 for a usage error.\n";

struct Options {
    std::string port;
    std::string monitorPort;
    bool json = false;
    double interval = 0.2;
    double duration = -1.0;
    std::vector<std::string> args;
};

struct UsageError {
    std::string message;
};

std::string Message(int32_t code) {
    char buffer[HALVEX_MESSAGE_MAX];
    GetHalvexErrorInfo(code, buffer, sizeof(buffer));
    return Cp949ToUtf8(buffer);
}

const char* English(int32_t code) {
    return code >= 0 && code <= 9 ? kEnglish[code] : kEnglish[9];
}

// JSON text; bytes of the cards' own texts above 0x7f are taken as Latin-1.
std::string Json(const std::string& s, bool utf8 = false) {
    std::string out = "\"";
    for (unsigned char c : s) {
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || (c >= 0x80 && !utf8)) {
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

Options Parse(int argc, char** argv) {
    Options o;
    if (const char* p = std::getenv("HALVEX_PORT"))
        o.port = p;
    if (const char* p = std::getenv("HALVEX_MONITOR_PORT"))
        o.monitorPort = p;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string value;
        const size_t eq = a.find('=');
        const bool inlineValue = a.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inlineValue) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
        }
        auto take = [&](const char* name) {
            if (inlineValue)
                return value;
            if (i + 1 >= argc)
                throw UsageError{std::string(name) + " needs a value"};
            return std::string(argv[++i]);
        };
        if (a == "--port") {
            o.port = take("--port");
        } else if (a == "--monitor-port") {
            o.monitorPort = take("--monitor-port");
        } else if (a == "--interval") {
            o.interval = ParseSeconds(take("--interval"), "interval");
        } else if (a == "--duration") {
            o.duration = ParseSeconds(take("--duration"), "duration");
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--help" || a == "-h") {
            o.args = {"help"};
            return o;
        } else if (a == "--version") {
            o.args = {"version"};
            return o;
        } else if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
            throw UsageError{"unknown option '" + a + "'"};
        } else {
            o.args.push_back(argv[i]);
        }
    }
    if (o.args.empty())
        throw UsageError{"no command given"};
    return o;
}

void NeedArgs(const Options& o, size_t count, const char* form) {
    if (o.args.size() != count)
        throw UsageError{"usage: halvexctl " + std::string(form)};
}

// Prints one result: "WHAT: OK" or "WHAT: error N: english (message)", or its JSON object.
int Report(const Options& o, const std::string& what, int32_t code,
           const std::string& jsonExtra = "", const std::string& textExtra = "") {
    if (o.json) {
        std::printf("{\"command\":%s,\"result\":%d,\"english\":%s,\"message\":%s%s}\n",
                    Json(what).c_str(), code, Json(English(code)).c_str(),
                    Json(Message(code), true).c_str(), jsonExtra.c_str());
    } else if (code == 0) {
        std::printf("%s: OK%s\n", what.c_str(), textExtra.c_str());
    } else {
        std::printf("%s: error %d: %s (%s)\n", what.c_str(), code, English(code),
                    Message(code).c_str());
    }
    return code;
}

int Codes(const Options& o) {
    if (o.json) {
        std::printf("{\"codes\":[");
        for (int c = 0; c <= 9; ++c) {
            std::printf("%s{\"code\":%d,\"english\":%s,\"message\":%s}", c ? "," : "", c,
                        Json(English(c)).c_str(), Json(Message(c), true).c_str());
        }
        std::printf("]}\n");
        return 0;
    }
    for (int c = 0; c <= 9; ++c)
        std::printf("%d  %-40s %s\n", c, English(c), Message(c).c_str());
    return 0;
}

int List(const Options& o) {
    CardInfo* records = nullptr;
    int32_t count = 0;
    GetHalvexSeries(&records, &count);
    if (o.json) {
        std::string cards = ",\"cards\":[";
        for (int32_t i = 0; i < count; ++i) {
            cards += (i ? "," : "") + std::string("{\"card\":") +
                     std::to_string(records[i].cardNumber) + ",\"id\":" + Json(records[i].idText) +
                     "}";
        }
        Report(o, "list", 0, cards + "]");
    } else {
        for (int32_t i = 0; i < count; ++i) {
            std::printf("slot %2d  %s\n", records[i].cardNumber,
                        Visible(records[i].idText).c_str());
        }
        std::printf("%d card%s on %s\n", count, count == 1 ? "" : "s", o.port.c_str());
    }
    if (records != nullptr)
        ReleaseSeries(records);
    return 0;
}

int DeviceText(const Options& o, const std::string& what, int32_t card,
               int32_t(HALVEX_API* fn)(int32_t, char*, int32_t*)) {
    char reply[HALVEX_REPLY_MAX] = "";
    int32_t length = 0;
    const int32_t rc = fn(card, reply, &length);
    const std::string text = rc == 4 ? "" : reply;
    return Report(o, what, rc, ",\"reply\":" + Json(text) + ",\"length\":" + std::to_string(length),
                  "  " + Visible(text));
}

// The first export of the list that takes the card's model wins; 8 from all means no model has it.
int32_t FirstModel(const std::vector<std::function<int32_t()>>& calls) {
    int32_t rc = 8;
    for (const auto& call : calls) {
        rc = call();
        if (rc != 8)
            break;
    }
    return rc;
}

// Checks a relay command's arguments and returns the call that carries it out.
std::function<int32_t()> PlanRelay(const Options& o) {
    const bool close = o.args[0] == "close";
    if (o.args.size() < 3)
        throw UsageError{"usage: halvexctl " + o.args[0] + " CARD RELAY [ARGS]"};
    const int32_t card = ParseInt(o.args[1], "card number");
    const std::string kind = o.args[2];
    auto need = [&](size_t n, const char* form) {
        if (o.args.size() != n) {
            throw UsageError{"usage: halvexctl " + o.args[0] + " CARD " + std::string(form)};
        }
    };
    if (kind == "matrix") {
        need(5, "matrix ROW COLUMN");
        const int32_t row = ParseInt(o.args[3], "row"), col = ParseInt(o.args[4], "column");
        return [=] {
            return FirstModel(
                {[&] { return (close ? CloseX16RelayMatrix : OpenX16RelayMatrix)(card, row, col); },
                 [&] {
                     return (close ? CloseX48RelayMatrix : OpenX48RelayMatrix)(card, row, col);
                 }});
        };
    } else if (kind == "row") {
        need(5, "row ROW hi|lo");
        const int32_t row = ParseInt(o.args[3], "row");
        if (o.args[4] != "hi" && o.args[4] != "lo") {
            throw UsageError{"bad line '" + o.args[4] + "': expected hi or lo"};
        }
        const int32_t lo = o.args[4] == "lo" ? 1 : 0;
        return [=] {
            return FirstModel(
                {[&] {
                     return (close ? CloseX16RowHiLoMatrix : OpenX16RowHiLoMatrix)(card, row, lo);
                 },
                 [&] {
                     return (close ? CloseX48RowHiLoMatrix : OpenX48RowHiLoMatrix)(card, row, lo);
                 }});
        };
    } else if (kind == "gp" || kind == "ext-gp" || kind == "ps" || kind == "discharge") {
        need(4, (kind + " N").c_str());
        const int32_t n = ParseInt(o.args[3], "relay number");
        return [=] {
            if (kind == "gp") {
                return FirstModel(
                    {[&] { return (close ? CloseX16GPRelay : OpenX16GPRelay)(card, n); },
                     [&] { return (close ? CloseY48GPRelay : OpenY48GPRelay)(card, n); }});
            }
            if (kind == "ext-gp") {
                return FirstModel(
                    {[&] { return (close ? CloseX16ExtGPRelay : OpenX16ExtGPRelay)(card, n); },
                     [&] { return (close ? CloseY48ExtGPRelay : OpenY48ExtGPRelay)(card, n); }});
            }
            if (kind == "ps")
                return (close ? CloseX16PsRelay : OpenX16PsRelay)(card, n);
            return (close ? CloseX16DischargeRelay : OpenX16DischargeRelay)(card, n);
        };
    } else if (kind == "pull-up" || kind == "pull-down" || kind == "test-probe" ||
               kind == "ground") {
        need(3, kind.c_str());
        using Fn = int32_t(HALVEX_API*)(int32_t);
        struct Single {
            const char* name;
            Fn x16Close, x16Open, x48Close, x48Open;
        };
        const Single singles[] = {
            {"pull-up", CloseX16PullUpRelay, OpenX16PullUpRelay, CloseX48PullUpRelay,
             OpenX48PullUpRelay},
            {"pull-down", CloseX16PullDownRelay, OpenX16PullDownRelay, CloseX48PullDownRelay,
             OpenX48PullDownRelay},
            {"test-probe", CloseX16TestProbeRelay, OpenX16TestProbeRelay, CloseX48TestProbeRelay,
             OpenX48TestProbeRelay},
            {"ground", CloseX16GndRelay, OpenX16GndRelay, CloseX48GndRelay, OpenX48GndRelay},
        };
        for (const Single& s : singles) {
            if (kind != s.name)
                continue;
            return [=] {
                return FirstModel({[&] { return (close ? s.x16Close : s.x16Open)(card); },
                                   [&] { return (close ? s.x48Close : s.x48Open)(card); }});
            };
        }
    }
    throw UsageError{"unknown relay kind '" + kind +
                     "': expected matrix, row, gp, ext-gp, ps, discharge, pull-up, pull-down, "
                     "test-probe or ground"};
}

std::string NeedMonitorPort(const Options& o) {
    if (o.monitorPort.empty()) {
        throw UsageError{"no monitoring port: give --monitor-port or set HALVEX_MONITOR_PORT"};
    }
    return o.monitorPort;
}

std::string States(int raw) {
    std::string s;
    for (int i = 0; i < 8; ++i)
        s += (raw >> i) & 1 ? '0' : '1';  // a clear bit is an active input
    return s;
}

int Read(const Options& o, int32_t card) {
    const std::string port = NeedMonitorPort(o);
    int32_t value = -1;
    const int32_t rc =
        FirstModel({[&] { return GetX16SignalMonitoringData(card, port.c_str(), &value); },
                    [&] { return GetY48SignalMonitoringData(card, port.c_str(), &value); }});
    char text[64] = "";
    std::string json;
    if (rc == 0) {
        std::snprintf(text, sizeof(text), "  inputs 1-8: %s (raw 0x%02x)", States(value).c_str(),
                      value);
        json = ",\"raw\":" + std::to_string(value) + ",\"states\":" + Json(States(value));
    }
    return Report(o, "read " + o.args[1], rc, json, text);
}

std::atomic<bool> gStop{false};
std::mutex gPrint;
int gLast = -1;
int gCard = 0;
bool gJson = false;

void HALVEX_CALLBACK OnReading(SignalStatus* status, int32_t count) {
    int raw = 0;
    for (int32_t i = 0; i < count && i < 8; ++i) {
        if (status[i].state == 0)
            raw |= 1 << (status[i].channel - 1);
    }
    std::lock_guard<std::mutex> lock(gPrint);
    if (raw == gLast)
        return;
    gLast = raw;
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%H:%M:%S", std::localtime(&t));
    if (gJson) {
        std::printf("{\"time\":\"%s.%03d\",\"card\":%d,\"raw\":%d,\"states\":\"%s\"}\n", stamp, ms,
                    gCard, raw, States(raw).c_str());
    } else {
        std::printf("%s.%03d  card %d  inputs 1-8: %s (raw 0x%02x)\n", stamp, ms, gCard,
                    States(raw).c_str(), raw);
    }
    std::fflush(stdout);
}

int Watch(const Options& o, int32_t card) {
    const std::string port = NeedMonitorPort(o);
    gCard = card;
    gJson = o.json;
    OnInterrupt([] { gStop = true; });
    bool y48 = false;
    int32_t rc = BeginX16SignalMonitoring(card, port.c_str(), o.interval, &OnReading);
    if (rc == 8) {
        y48 = true;
        rc = BeginY48SignalMonitoring(card, port.c_str(), o.interval, &OnReading);
    }
    if (rc != 0)
        return Report(o, "watch " + o.args[1], rc);
    if (!o.json) {
        std::printf("watching card %d on %s every %.3g s; Ctrl-C stops\n", card, port.c_str(),
                    o.interval);
        std::fflush(stdout);
    }
    const auto start = std::chrono::steady_clock::now();
    while (!gStop) {
        PauseMs(20);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (o.duration >= 0 && elapsed >= o.duration)
            break;
    }
    rc = y48 ? EndY48SignalMonitoring(card) : EndX16SignalMonitoring(card);
    std::lock_guard<std::mutex> lock(gPrint);
    return Report(o, "watch " + o.args[1] + " stopped", rc);
}

int Run(const Options& o) {
    const std::string& cmd = o.args[0];
    if (cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "version") {
        std::printf("halvexctl %s\n", HALVEX_VERSION);
        return 0;
    }
    if (cmd == "codes") {
        NeedArgs(o, 1, "codes");
        return Codes(o);
    }
    static const char* const known[] = {"list",  "identify", "self-test", "reset",
                                        "close", "open",     "read",      "watch"};
    bool isKnown = false;
    for (const char* k : known)
        isKnown = isKnown || cmd == k;
    if (!isKnown)
        throw UsageError{"unknown command '" + cmd + "'"};
    if (cmd == "list")
        NeedArgs(o, 1, "list");
    if (cmd == "identify" || cmd == "self-test" || cmd == "reset" || cmd == "read" ||
        cmd == "watch") {
        NeedArgs(o, 2, (cmd + " CARD").c_str());
    }
    const int32_t card = o.args.size() > 1 ? ParseInt(o.args[1], "card number") : 0;
    std::function<int32_t()> relay;
    if (cmd == "close" || cmd == "open")
        relay = PlanRelay(o);
    if ((cmd == "read" || cmd == "watch"))
        NeedMonitorPort(o);
    if (o.port.empty())
        throw UsageError{"no command port: give --port or set HALVEX_PORT"};

    const int32_t opened = OpenHalvex(o.port.c_str());
    if (opened != 0)
        return Report(o, "open port " + o.port, opened);
    int rc = 0;
    try {
        if (cmd == "list") {
            rc = List(o);
        } else if (cmd == "identify") {
            rc = DeviceText(o, "identify " + o.args[1], card, QueryHalvexID);
        } else if (cmd == "self-test") {
            rc = DeviceText(o, "self-test " + o.args[1], card, SelfTestHalvex);
        } else if (cmd == "reset") {
            rc = Report(o, "reset " + o.args[1], ResetHalvex(card));
        } else if (relay) {
            std::string what;
            for (const auto& a : o.args)
                what += (what.empty() ? "" : " ") + a;
            rc = Report(o, what, relay());
        } else if (cmd == "read") {
            rc = Read(o, card);
        } else {
            rc = Watch(o, card);
        }
    } catch (...) {
        CloseHalvex();
        throw;
    }
    const int32_t closed = CloseHalvex();
    return rc != 0 ? rc : closed;
}

}  // namespace
}  // namespace halvexctl

int main(int argc, char** argv) {
    using namespace halvexctl;
    try {
        const Options o = Parse(argc, argv);
        return Run(o);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "halvexctl: %s\n\n%s", e.message.c_str(), kUsage);
        return kUsageError;
    }
}
