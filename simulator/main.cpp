// halvex-sim: plays a chassis of Halvex relay cards on pseudo-terminals, for the driver's tests
// and for station software written before the hardware arrives; or spies on a real chassis.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "chassis.h"
#include "chassis_file.h"
#include "fixture/fixture_file.h"
#include "sim_server.h"

namespace {

using halvex::sim::Chassis;
using halvex::sim::kCommandPort;

const char kUsage[] =
    "usage: halvex-sim [--chassis FILE]... [--fixture FILE]... [--card SLOT:MODEL[:IDTEXT]]...\n"
    "                  [--delay SLOT:MS]... [--silent SLOT]... [--link DIR] [--control PORT]\n"
    "                  [--stdin-control [--exit-on-eof]] [--line-timeout MS] [--quiet]\n"
    "                  [--adapter-latency MS [--adapter-event-char]]\n"
    "       halvex-sim --spy DEVICE [--spy-monitor SLOT:DEVICE]... [--link DIR] [--control PORT]\n"
    "                  [--stdin-control [--exit-on-eof]] [--line-timeout MS] [--quiet]\n"
    "\n"
    "Plays a chassis of Halvex relay cards on pseudo-terminals: the command port and one\n"
    "monitoring port per slot, printed on stdout before \"ready\".\n"
    "  --chassis FILE      set-up requests, one a line, as on the control channel: card, remove,\n"
    "                      range, delay, silent, status, eol, idn, photo, next; '#' starts a\n"
    "                      comment. --card, --delay and --silent apply after every file.\n"
    "  --fixture FILE      plugs the cards a fixture file's [cards] names (after --chassis)\n"
    "  --card SLOT:MODEL[:IDTEXT]  plugs a card; MODEL is X16, X48 or Y48, SLOT is 1..16\n"
    "  --delay SLOT:MS     delays each reply of the slot\n"
    "  --silent SLOT       a card that never answers\n"
    "  --adapter-latency MS  replies pass a USB serial adapter whose latency timer is MS (1-255;\n"
    "                      FTDI's default is 16): held until MS after their first byte or until\n"
    "                      62 bytes gathered\n"
    "  --adapter-event-char  the host set the line feed as the adapter's event character: a\n"
    "                      line feed also sends what is held at once\n"
    "  --link DIR          symlinks DIR/command and DIR/monitor-01..16 to the ports\n"
    "  --control PORT      control requests on TCP 127.0.0.1:PORT; 0 picks a free port\n"
    "  --stdin-control     control requests on stdin too, replies on stdout (try \"help\")\n"
    "  --exit-on-eof       stop when stdin ends (otherwise the simulator keeps running)\n"
    "  --line-timeout MS   a partial line idle this long is logged (and dropped by the cards);\n"
    "                      0 waits for its line end; default 500, in spy mode 100\n"
    "  --quiet             no trace on stderr\n"
    "  --describe          prints the cards the chassis files and options set up, as JSON\n"
    "                      (slot, model, id_text and the ranges they change), and stops\n"
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

struct Settings {
    halvex::sim::ServerOptions server;
    std::vector<std::string> chassisFiles;
    std::vector<std::string> fixtureFiles;  // their [cards] are plugged after the chassis files
    // --card, --delay and --silent as control requests, applied after the chassis files.
    std::vector<std::string> setup;
    std::optional<long> lineTimeoutMs;
    std::optional<long> adapterLatencyMs;
    bool adapterEventChar = false;
    std::string spyDevice;
    bool spyMonitors = false;
    bool describe = false;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "halvex-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// "--card 3:X16:ID" becomes "card 3 X16 ID": the first `fields` colons part the words.
std::string AsRequest(const std::string& option, std::string value, int fields) {
    for (size_t at = 0; fields-- > 0 && (at = value.find(':', at)) != std::string::npos;)
        value[at] = ' ';
    return option.substr(2) + " " + value;
}

// "SLOT:DEVICE" of --spy-monitor into the server's devices; false when bad or given twice.
bool SpyMonitor(Settings& s, const std::string& value) {
    const size_t colon = value.find(':');
    long slot = 0;
    if (colon == std::string::npos || colon + 1 == value.size() ||
        !ParseInt(value.substr(0, colon), 1, halvex::sim::kSlotCount, &slot))
        return false;
    std::string& device = s.server.spyDevices[static_cast<size_t>(slot)];
    if (!device.empty())
        return false;
    device = value.substr(colon + 1);
    return s.spyMonitors = true;
}

// One option with its value; false when the value is bad.
bool ApplyOption(Settings& s, const std::string& option, const std::string& value) {
    if (option == "--card" || option == "--delay") {
        s.setup.push_back(AsRequest(option, value, option == "--card" ? 2 : 1));
    } else if (option == "--silent") {
        s.setup.push_back("silent " + value + " 1");
    } else if (option == "--adapter-latency") {
        long ms = 0;
        if (!ParseInt(value, 1, 255, &ms))
            return false;
        s.adapterLatencyMs = ms;
    } else if (option == "--control" || option == "--line-timeout") {
        const bool control = option == "--control";
        long number = 0;
        if (!ParseInt(value, 0, control ? 65535 : 3600000, &number))
            return false;
        if (control)
            s.server.controlPort = static_cast<int>(number);
        else
            s.lineTimeoutMs = number;
    } else if (option == "--spy-monitor") {
        return SpyMonitor(s, value);
    } else if (option == "--fixture") {
        s.fixtureFiles.push_back(value);
        return !value.empty();
    } else {
        std::string& target = option == "--link"  ? s.server.linkDir
                              : option == "--spy" ? s.spyDevice
                                                  : s.chassisFiles.emplace_back();
        target = value;
        return !value.empty();
    }
    return true;
}

// Reads the command line into `s`; the exit status to stop with, or -1 to go on.
int ParseArgs(const std::vector<std::string>& args, Settings& s) {
    static const char* const kWithValue[] = {
        "--card",    "--delay", "--silent",      "--link",    "--control",        "--line-timeout",
        "--chassis", "--spy",   "--spy-monitor", "--fixture", "--adapter-latency"};
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
        bool* flag = option == "--quiet"                ? &s.server.quiet
                     : option == "--stdin-control"      ? &s.server.stdinControl
                     : option == "--exit-on-eof"        ? &s.server.exitOnEof
                     : option == "--describe"           ? &s.describe
                     : option == "--adapter-event-char" ? &s.adapterEventChar
                                                        : nullptr;
        if (flag != nullptr && !value) {
            *flag = true;
            continue;
        }
        bool known = false;
        for (const char* name : kWithValue)
            known = known || option == name;
        if (!known)
            return Fail("unknown option " + option);
        if (!value && i + 1 < args.size())
            value = args[++i];
        if (!value)
            return Fail("missing value for " + option);
        if (!ApplyOption(s, option, *value))
            return Fail("bad " + option + " '" + *value + "'");
    }
    return -1;
}

// The combinations of options that make no sense; the exit status, or -1.
int CheckCombinations(Settings& s) {
    if (s.server.exitOnEof && !s.server.stdinControl)
        return Fail("--exit-on-eof needs --stdin-control");
    if (s.adapterEventChar && !s.adapterLatencyMs)
        return Fail("--adapter-event-char needs --adapter-latency");
    if (s.adapterLatencyMs) {
        s.setup.push_back("adapter " + std::to_string(*s.adapterLatencyMs) +
                          (s.adapterEventChar ? " event-char" : ""));
    }
    if (s.spyDevice.empty())
        return s.spyMonitors ? Fail("--spy-monitor needs --spy") : -1;
    if (!s.chassisFiles.empty() || !s.setup.empty() || !s.fixtureFiles.empty())
        return Fail(
            "--spy simulates no cards: no --chassis, --fixture, --card, --delay or --silent");
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
    for (const std::string& path : s.fixtureFiles) {
        halvex::fixture::FixtureSpec spec;
        halvex::fixture::FileError fileError;
        if (!halvex::fixture::ReadFixtureFile(path, &spec, &fileError)) {
            std::fprintf(stderr, "halvex-sim: %s\n", fileError.Text().c_str());
            return 2;
        }
        for (const auto& [slot, model] : spec.cards) {
            const std::string request = "card " + std::to_string(slot) + " " + model.value;
            chassis.Control(request);
            baseline.push_back(request);
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

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The set-up's cards, for a front-end that draws a bench without reading its file again.
int Describe(const Chassis& chassis) {
    std::string out = "{\"cards\": [";
    bool first = true;
    for (int slot = 1; slot <= halvex::sim::kSlotCount; ++slot) {
        const halvex::sim::Card* card = chassis.CardAt(slot);
        if (card == nullptr)
            continue;
        out += std::string(first ? "" : ", ") + "{\"slot\": " + std::to_string(slot) +
               ", \"model\": \"" + halvex::sim::ModelName(card->model) +
               "\", \"id_text\": " + JsonString(card->idText) + ", \"ranges\": {" +
               card->ChangedRangesJson() + "}}";
        first = false;
    }
    std::printf("%s]}\n", out.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
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
    if (settings.describe)
        return Describe(chassis);

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
