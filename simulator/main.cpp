// halvex-sim: plays a chassis of Halvex relay cards on pseudo-terminals, for the driver's tests
// and for station software written before the hardware arrives; or spies on a real chassis.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "chassis.h"
#include "chassis_file.h"
#include "sim_server.h"

namespace {

using halvex::sim::Chassis;
using halvex::sim::kCommandPort;
using halvex::sim::Model;

const char kUsage[] =
    "usage: halvex-sim [--chassis FILE]... [--card SLOT:MODEL[:IDTEXT]]... [--delay SLOT:MS]...\n"
    "                  [--silent SLOT]... [--link DIR] [--control PORT]\n"
    "                  [--stdin-control [--exit-on-eof]] [--line-timeout MS] [--quiet]\n"
    "       halvex-sim --spy DEVICE [--spy-monitor SLOT:DEVICE]... [--link DIR] [--control PORT]\n"
    "                  [--stdin-control [--exit-on-eof]] [--line-timeout MS] [--quiet]\n"
    "\n"
    "Plays a chassis of Halvex relay cards on pseudo-terminals: the command port and one\n"
    "monitoring port per slot, printed on stdout before \"ready\".\n"
    "  --chassis FILE      set-up requests, one a line, as on the control channel: card, remove,\n"
    "                      range, delay, silent, status, eol, idn, photo, next; '#' starts a\n"
    "                      comment. --card, --delay and --silent apply after every file.\n"
    "  --card SLOT:MODEL[:IDTEXT]  plugs a card; MODEL is X16, X48 or Y48, SLOT is 1..16\n"
    "  --delay SLOT:MS     delays each reply of the slot\n"
    "  --silent SLOT       a card that never answers\n"
    "  --link DIR          symlinks DIR/command and DIR/monitor-01..16 to the ports\n"
    "  --control PORT      control requests on TCP 127.0.0.1:PORT; 0 picks a free port\n"
    "  --stdin-control     control requests on stdin too, replies on stdout (try \"help\")\n"
    "  --exit-on-eof       stop when stdin ends (otherwise the simulator keeps running)\n"
    "  --line-timeout MS   a partial line idle this long is logged (and dropped by the cards);\n"
    "                      0 waits for its line end; default 500, in spy mode 100\n"
    "  --quiet             no trace on stderr\n"
    "  --version           the simulator's version\n"
    "Spy mode passes bytes unchanged between the command port and the real chassis port DEVICE\n"
    "(opened raw 115200 8N1, exclusively, as the driver does), and between a slot's monitoring\n"
    "port and its DEVICE for each --spy-monitor, logging every line both ways with a time stamp\n"
    "on stderr and in the control channel's \"log\".\n";

bool ParseInt(const std::string& text, long min, long max, long* out) {
    if (text.empty() || text.size() > 9)
        return false;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || value < min || value > max)
        return false;
    *out = value;
    return true;
}

// "SLOT:REST" with SLOT 1..16; the slot and REST, or nothing.
std::optional<std::pair<int, std::string>> SlotAndRest(const std::string& value) {
    const size_t colon = value.find(':');
    long slot = 0;
    if (colon == std::string::npos ||
        !ParseInt(value.substr(0, colon), 1, halvex::sim::kSlotCount, &slot))
        return std::nullopt;
    return std::make_pair(static_cast<int>(slot), value.substr(colon + 1));
}

struct Settings {
    halvex::sim::ServerOptions server;
    std::vector<std::string> chassisFiles;
    // --card, --delay and --silent as control requests, applied after the chassis files.
    std::vector<std::string> setup;
    std::optional<long> lineTimeoutMs;
    std::string spyDevice;
    bool spyMonitors = false;
};

// An option's effect on the settings; false when its value is bad.
using Apply = std::function<bool(Settings&, const std::string&)>;

struct Option {
    const char* name;
    bool takesValue;
    Apply apply;
};

bool CardOption(Settings& s, const std::string& value) {
    // SLOT:MODEL[:IDTEXT]; the identification may itself contain colons.
    auto slot = SlotAndRest(value);
    if (!slot)
        return false;
    const size_t colon = slot->second.find(':');
    std::optional<Model> model = halvex::sim::ParseModel(slot->second.substr(0, colon));
    if (!model)
        return false;
    std::string request = "card " + std::to_string(slot->first) + " " + ModelName(*model);
    if (colon != std::string::npos && colon + 1 < slot->second.size())
        request += " " + slot->second.substr(colon + 1);
    s.setup.push_back(request);
    return true;
}

const std::vector<Option>& Options() {
    static const std::vector<Option> options = {
        {"--quiet", false, [](Settings& s, const std::string&) { return s.server.quiet = true; }},
        {"--stdin-control", false,
         [](Settings& s, const std::string&) { return s.server.stdinControl = true; }},
        {"--exit-on-eof", false,
         [](Settings& s, const std::string&) { return s.server.exitOnEof = true; }},
        {"--card", true, CardOption},
        {"--delay", true,
         [](Settings& s, const std::string& v) {
             auto slot = SlotAndRest(v);
             long ms = 0;
             if (!slot || !ParseInt(slot->second, 0, 3600000, &ms))
                 return false;
             s.setup.push_back("delay " + std::to_string(slot->first) + " " + std::to_string(ms));
             return true;
         }},
        {"--silent", true,
         [](Settings& s, const std::string& v) {
             long slot = 0;
             if (!ParseInt(v, 1, halvex::sim::kSlotCount, &slot))
                 return false;
             s.setup.push_back("silent " + std::to_string(slot) + " 1");
             return true;
         }},
        {"--link", true,
         [](Settings& s, const std::string& v) {
             s.server.linkDir = v;
             return !v.empty();
         }},
        {"--control", true,
         [](Settings& s, const std::string& v) {
             long port = 0;
             s.server.controlPort = ParseInt(v, 0, 65535, &port) ? static_cast<int>(port) : -1;
             return s.server.controlPort >= 0;
         }},
        {"--line-timeout", true,
         [](Settings& s, const std::string& v) {
             long ms = 0;
             s.lineTimeoutMs = ms;
             return ParseInt(v, 0, 3600000, &*s.lineTimeoutMs);
         }},
        {"--chassis", true,
         [](Settings& s, const std::string& v) {
             s.chassisFiles.push_back(v);
             return !v.empty();
         }},
        {"--spy", true,
         [](Settings& s, const std::string& v) {
             s.spyDevice = v;
             return !v.empty();
         }},
        {"--spy-monitor", true,
         [](Settings& s, const std::string& v) {
             auto slot = SlotAndRest(v);
             if (!slot || slot->second.empty())
                 return false;
             std::string& device = s.server.spyDevices[static_cast<size_t>(slot->first)];
             if (!device.empty())
                 return false;
             device = slot->second;
             return s.spyMonitors = true;
         }},
    };
    return options;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "halvex-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// Reads the command line into `s`; the exit status to stop with (-1: go on).
int ParseArgs(const std::vector<std::string>& args, Settings& s) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::optional<std::string> value;
        const size_t eq = option.find('=');
        if (option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
        }
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--version") {
            std::printf("halvex-sim %s\n", HALVEX_VERSION);
            return 0;
        }
        const Option* known = nullptr;
        for (const Option& o : Options())
            known = option == o.name ? &o : known;
        if (known == nullptr || (!known->takesValue && value))
            return Fail("unknown option " + option);
        if (known->takesValue && !value && i + 1 < args.size())
            value = args[++i];
        if (known->takesValue && !value)
            return Fail("missing value for " + option);
        if (!known->apply(s, value.value_or(std::string())))
            return Fail((value->empty() ? "empty " : "bad ") + option +
                        (value->empty() ? "" : " " + *value));
    }
    return -1;
}

// The combinations of options that make no sense; the exit status, or -1.
int CheckCombinations(Settings& s) {
    if (s.server.exitOnEof && !s.server.stdinControl)
        return Fail("--exit-on-eof needs --stdin-control");
    if (s.spyDevice.empty())
        return s.spyMonitors ? Fail("--spy-monitor needs --spy") : -1;
    if (!s.chassisFiles.empty() || !s.setup.empty())
        return Fail("--spy simulates no cards: no --chassis, --card, --delay or --silent");
    s.server.spyDevices[kCommandPort] = s.spyDevice;
    if (s.lineTimeoutMs)
        s.server.spyLineTimeout = std::chrono::milliseconds(*s.lineTimeoutMs);
    return -1;
}

// The chassis files, then the options' cards; the exit status on an error, or -1.
int SetUp(Chassis& chassis, const Settings& s) {
    std::string error;
    std::vector<std::string> baseline;
    for (const std::string& path : s.chassisFiles) {
        if (!halvex::sim::ApplyChassisFile(chassis, path, &baseline, &error)) {
            std::fprintf(stderr, "halvex-sim: %s\n", error.c_str());
            return 2;
        }
    }
    for (const std::string& request : s.setup) {
        std::string reply = chassis.Control(request);
        if (reply != "OK\n")
            return Fail(request + ": " + reply.substr(0, reply.size() - 1));
        baseline.push_back(request);
    }
    chassis.SetBaseline(std::move(baseline));
    if (s.lineTimeoutMs)
        chassis.SetLineTimeout(std::chrono::milliseconds(*s.lineTimeoutMs));
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Chassis chassis;
    Settings settings;
    int status = ParseArgs(std::vector<std::string>(argv + 1, argv + argc), settings);
    if (status < 0)
        status = CheckCombinations(settings);
    if (status < 0)
        status = SetUp(chassis, settings);
    if (status >= 0)
        return status;

    std::string error;
    if (!halvex::sim::Server::InstallSignalHandlers(&error))
        return Fail(error);
    halvex::sim::Server server(chassis, settings.server);
    if (!server.Start(&error)) {
        server.Cleanup();
        std::fprintf(stderr, "halvex-sim: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& line : server.Banner()) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    status = server.Run();
    server.Cleanup();
    return status;
}
