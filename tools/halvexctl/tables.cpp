#include "tables.h"

#include <sstream>

#include "device.h"
#include "docs.h"
#include "halvex.h"
#include "listing.h"
#include "parse.h"
#include "fixture_commands.h"
#include "relays.h"
#include "scripts.h"
#include "signals.h"

namespace halvexctl {

namespace {

// The kinds from the vocabulary, each with its exports by model.
const RelayKind kRelayKinds[] = {
#define HX_RELAY(id, name, args, shape, group, sub, object, x16, x48, y48, formerly, summary) \
    {name,                                                                                    \
     args,                                                                                    \
     Shape::k##shape,                                                                         \
     summary,                                                                                 \
     {halvex::kRelayExports[static_cast<int>(halvex::RelayId::k##id)], 3}},
#include "core/vocabulary.inc"
};

const OptionDef kOptions[] = {
    {"--port", "PORT",
     "list identify self-test reset close open read watch connect disconnect apply release check "
     "state disconnect-all run shell",
     false, "command port (default: $HALVEX_PORT)"},
    {"--monitor-port", "PORT", "read watch", true,
     "the card's monitoring port (default: $HALVEX_MONITOR_PORT)"},
    {"--interval", "SECONDS", "watch", true, "polling interval of watch (default 0.2)"},
    {"--duration", "SECONDS", "watch", true, "stop watch after this long (default: until Ctrl-C)"},
    {"--fixture", "FILE",
     "close open connect disconnect apply release check nets state disconnect-all run shell", false,
     "fixture file: nets, routes and interlocks (default: $HALVEX_FIXTURE)"},
    {"--allow-group-rows", nullptr, "close open", true,
     "send matrix rows whose wire form is a relay group's (see close --help)"},
    {"--keep-going", nullptr, "run", false,
     "run every line; the exit status is the first failure's"},
    {"--json", nullptr, nullptr, false, "one JSON object per result on standard output"},
    {"--help", nullptr, nullptr, true, "this help, or a command's with COMMAND --help"},
    {"--version", nullptr, nullptr, false, "the version of halvexctl"},
};

const Command kCommands[] = {
    {"list", "", "all", "OpenHalvex, GetHalvexSeries", "the cards that discovery finds", "", true,
     true, false, CheckNone, RunList},
    {"identify", "CARD", "all", "QueryHalvexID", "the card's identification reply", "", true, true,
     false, CheckCard, RunIdentify},
    {"self-test", "CARD", "all", "SelfTestHalvex", "run the card's self test",
     "Waits up to the model's limit: X16 15 s, X48 50 s, Y48 5 s. On a terminal, standard "
     "error shows the time elapsed.",
     true, true, false, CheckCard, RunSelfTest},
    {"reset", "CARD", "all", "ResetHalvex", "reset the card", "", true, true, false, CheckCard,
     RunReset},
    {"close", "CARD RELAY", "X16, X48, Y48", "Close<model><relay>", "close (connect) a relay",
     "A relay may also be named in one word, as the panel and the simulator name it: "
     "3:matrix:5:7, 3:row:5:lo, 3:ext-gp:3, 3:ground.",
     true, true, true, CheckRelay, RunRelay},
    {"open", "CARD RELAY", "X16, X48, Y48", "Open<model><relay>", "open a relay",
     "Relays are named as for close.", true, true, true, CheckRelay, RunRelay},
    {"read", "CARD", "X16, Y48", "GetX16SignalMonitoringData, GetY48SignalMonitoringData",
     "one reading of the signal inputs on the monitoring port", "", true, true, false,
     CheckMonitored, RunRead},
    {"watch", "CARD", "X16, Y48", "BeginX16SignalMonitoring, BeginY48SignalMonitoring",
     "a line whenever the inputs change, until Ctrl-C or --duration",
     "When no reading has come for ten intervals (at least 1 s), a line on standard error says "
     "the inputs went silent, and another when readings resume; a watch that ends while silent "
     "exits with 4.",
     true, true, false, CheckMonitored, RunWatch},
    {"codes", "", "-", "GetHalvexErrorInfo", "the result codes and their messages", "", false, true,
     false, CheckNone, RunCodes},
    {"ports", "", "-", "-", "the serial ports of this machine",
     "Linux: the /dev/serial/by-id names and the ttyS, ttyUSB and ttyACM devices, with the USB "
     "vendor, product and serial number. Windows: the COM ports of the registry, with the "
     "\\\\.\\ form that COM10 and above need; on both, a USB adapter's latency timer where the "
     "system shows it.",
     false, true, false, CheckNone, RunPorts},
    {"doctor", "PORT", "all", "OpenHalvex, QueryHalvexID",
     "how long the chassis on PORT takes to answer, and how to make it quicker",
     "Times a discovery and five identification queries to the first card found, and shows the "
     "latency timer of the USB adapter where the system tells it. Where replies come late or "
     "the timer is high, says how to lower it; changes nothing itself.",
     false, false, false, CheckDoctor, RunDoctor},
    {"connect", "NET NET", "-", "HalvexFixtureConnect",
     "join two nets of the fixture through the fewest free relays",
     "Needs --fixture. Refused with 12, nothing sent, when it would join nets a [[forbid]] rule "
     "keeps apart; 13 when no free relays join them.",
     true, true, false, CheckTwoNets, RunConnect},
    {"disconnect", "NET NET", "-", "HalvexFixtureDisconnect", "open what connect closed",
     "Needs --fixture.", true, true, false, CheckTwoNets, RunDisconnect},
    {"apply", "ROUTE...", "-", "HalvexFixtureApply", "apply the fixture's named routes",
     "Needs --fixture. All or nothing: a failing relay command undoes the others.", true, true,
     false, CheckRoutes, RunApply},
    {"release", "ROUTE...", "-", "HalvexFixtureRelease", "release applied routes",
     "Needs --fixture. A relay another route or connection holds stays closed.", true, true, false,
     CheckRoutes, RunRelease},
    {"check", "OPERATION...", "-", "HalvexFixtureCheck",
     "what an operation would open and close, sending nothing",
     "Needs --fixture. OPERATION is connect A B, disconnect A B, apply ROUTE..., release "
     "ROUTE..., close RELAY, open RELAY or disconnect-all; relays with their slot (1:ps:2).",
     true, true, false, CheckOperation, RunCheck},
    {"nets", "", "-", "-", "the fixture's nets with their terminals, and its routes",
     "Needs --fixture.", false, true, false, CheckFixtureOnly, RunNets},
    {"state", "", "-", "HalvexFixtureState",
     "the relays the fixture layer closed, those unknown, the connections, routes and joined nets",
     "Needs --fixture.", true, true, false, CheckFixtureOnly, RunState},
    {"disconnect-all", "", "-", "HalvexFixtureDisconnectAll",
     "open every relay the fixture layer closed or may have closed", "Needs --fixture.", true, true,
     false, CheckFixtureOnly, RunDisconnectAll},
    {"run", "FILE", "-", "-", "run one command per line of FILE (- for standard input)",
     "The port is opened and the cards discovered once. Lines take the command-line syntax; "
     "'#' starts a comment. Every line is checked before any runs; the run stops at the first "
     "failure with its code, or with --keep-going runs every line and exits with the first "
     "failure's code.",
     false, false, false, CheckRun, RunScript},
    {"shell", "", "-", "-", "commands typed one per line, with help and quit",
     "Prompts when standard input is a terminal. The port is opened and the cards discovered "
     "once, at the first command that needs them. The exit status is the first failure's code.",
     false, false, false, CheckShell, RunShell},
    {"help", "[COMMAND]", "-", "-", "the help of halvexctl or of one command", "", false, false,
     false, CheckHelp, RunHelp},
};

template <typename Row, std::size_t N>
Rows<Row> RowsOf(const Row (&table)[N]) {
    return {table, N};
}

}  // namespace

Rows<RelayKind> RelayKinds() {
    return RowsOf(kRelayKinds);
}

std::string Models(const RelayKind& kind) {
    std::string out;
    for (const ModelCalls& m : kind.models) {
        if (m.model != nullptr)
            out += (out.empty() ? "" : ", ") + std::string(m.model);
    }
    return out;
}

Rows<OptionDef> OptionTable() {
    return RowsOf(kOptions);
}

const OptionDef* FindOption(const std::string& name) {
    for (const OptionDef& d : kOptions) {
        if (name == d.name)
            return &d;
    }
    return nullptr;
}

Rows<Command> Commands() {
    return RowsOf(kCommands);
}

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands) {
        if (name == c.name)
            return &c;
    }
    return nullptr;
}

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

}  // namespace halvexctl
