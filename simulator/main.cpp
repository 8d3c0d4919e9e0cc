// halvex-sim: plays a chassis of Halvex relay cards on pseudo-terminals, for the driver's tests
// and for station software written before the hardware arrives; or spies on a real chassis.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "chassis.h"
#include "chassis_file.h"
#include "sim_server.h"

namespace {

using halvex::sim::Chassis;
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

bool ParseSlot(const std::string& text, int* slot) {
    long value = 0;
    if (!ParseInt(text, 1, halvex::sim::kSlotCount, &value))
        return false;
    *slot = static_cast<int>(value);
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "halvex-sim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Chassis chassis;
    halvex::sim::ServerOptions options;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> chassisFiles;
    // --card, --delay and --silent as control requests, applied after the chassis files.
    std::vector<std::string> setup;
    std::optional<long> lineTimeoutMs;
    std::string spyDevice;
    bool spyMonitors = false;

    for (size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::string value;
        bool inlineValue = false;
        size_t eq = option.find('=');
        if (option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option = option.substr(0, eq);
            inlineValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (inlineValue)
                return true;
            if (i + 1 >= args.size())
                return false;
            value = args[++i];
            return true;
        };

        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--version") {
            std::printf("halvex-sim %s\n", HALVEX_VERSION);
            return 0;
        }
        if (option == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (option == "--stdin-control") {
            options.stdinControl = true;
            continue;
        }
        if (option == "--exit-on-eof") {
            options.exitOnEof = true;
            continue;
        }
        static const char* const kWithValue[] = {"--card",    "--delay",   "--silent",
                                                 "--link",    "--control", "--line-timeout",
                                                 "--chassis", "--spy",     "--spy-monitor"};
        bool known = false;
        for (const char* name : kWithValue)
            known = known || option == name;
        if (!known)
            return Fail("unknown option " + option);
        if (!takeValue())
            return Fail("missing value for " + option);
        if (option == "--card") {
            // SLOT:MODEL[:IDTEXT]; the identification may itself contain colons.
            size_t first = value.find(':');
            size_t second = first == std::string::npos ? first : value.find(':', first + 1);
            int slot = 0;
            std::optional<Model> model;
            if (first != std::string::npos) {
                model = halvex::sim::ParseModel(value.substr(first + 1, second - first - 1));
            }
            if (first == std::string::npos || !ParseSlot(value.substr(0, first), &slot) || !model) {
                return Fail("bad --card " + value);
            }
            std::string request =
                "card " + std::to_string(slot) + " " + halvex::sim::ModelName(*model);
            if (second != std::string::npos && second + 1 < value.size())
                request += " " + value.substr(second + 1);
            setup.push_back(request);
        } else if (option == "--delay") {
            size_t colon = value.find(':');
            int slot = 0;
            long ms = 0;
            if (colon == std::string::npos || !ParseSlot(value.substr(0, colon), &slot) ||
                !ParseInt(value.substr(colon + 1), 0, 3600000, &ms)) {
                return Fail("bad --delay " + value);
            }
            setup.push_back("delay " + std::to_string(slot) + " " + std::to_string(ms));
        } else if (option == "--silent") {
            int slot = 0;
            if (!ParseSlot(value, &slot))
                return Fail("bad --silent " + value);
            setup.push_back("silent " + std::to_string(slot) + " 1");
        } else if (option == "--link") {
            if (value.empty())
                return Fail("empty --link");
            options.linkDir = value;
        } else if (option == "--control") {
            long port = 0;
            if (!ParseInt(value, 0, 65535, &port))
                return Fail("bad --control " + value);
            options.controlPort = static_cast<int>(port);
        } else if (option == "--line-timeout") {
            long ms = 0;
            if (!ParseInt(value, 0, 3600000, &ms))
                return Fail("bad --line-timeout " + value);
            lineTimeoutMs = ms;
        } else if (option == "--chassis") {
            if (value.empty())
                return Fail("empty --chassis");
            chassisFiles.push_back(value);
        } else if (option == "--spy") {
            if (value.empty())
                return Fail("empty --spy");
            spyDevice = value;
        } else if (option == "--spy-monitor") {
            size_t colon = value.find(':');
            int slot = 0;
            if (colon == std::string::npos || !ParseSlot(value.substr(0, colon), &slot) ||
                colon + 1 == value.size()) {
                return Fail("bad --spy-monitor " + value);
            }
            if (!options.spyDevices[static_cast<size_t>(slot)].empty())
                return Fail("--spy-monitor given twice for slot " + std::to_string(slot));
            options.spyDevices[static_cast<size_t>(slot)] = value.substr(colon + 1);
            spyMonitors = true;
        }
    }

    if (options.exitOnEof && !options.stdinControl)
        return Fail("--exit-on-eof needs --stdin-control");
    if (!spyDevice.empty()) {
        if (!chassisFiles.empty() || !setup.empty())
            return Fail("--spy simulates no cards: no --chassis, --card, --delay or --silent");
        options.spyDevices[halvex::sim::kCommandPort] = spyDevice;
        if (lineTimeoutMs)
            options.spyLineTimeout = std::chrono::milliseconds(*lineTimeoutMs);
    } else if (spyMonitors) {
        return Fail("--spy-monitor needs --spy");
    }

    std::string error;
    std::vector<std::string> baseline;
    for (const std::string& path : chassisFiles) {
        if (!halvex::sim::ApplyChassisFile(chassis, path, &baseline, &error)) {
            std::fprintf(stderr, "halvex-sim: %s\n", error.c_str());
            return 2;
        }
    }
    for (const std::string& request : setup) {
        std::string reply = chassis.Control(request);
        if (reply != "OK\n")
            return Fail(request + ": " + reply.substr(0, reply.size() - 1));
        baseline.push_back(request);
    }
    chassis.SetBaseline(std::move(baseline));
    if (lineTimeoutMs)
        chassis.SetLineTimeout(std::chrono::milliseconds(*lineTimeoutMs));

    if (!halvex::sim::Server::InstallSignalHandlers(&error))
        return Fail(error);
    halvex::sim::Server server(chassis, options);
    if (!server.Start(&error)) {
        server.Cleanup();
        std::fprintf(stderr, "halvex-sim: %s\n", error.c_str());
        return 1;
    }
    for (const std::string& line : server.Banner()) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    int status = server.Run();
    server.Cleanup();
    return status;
}
