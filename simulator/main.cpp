// halvex-sim: plays a chassis of Halvex relay cards on pseudo-terminals, for the driver's tests.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "chassis.h"
#include "sim_server.h"

namespace {

using halvex::sim::Chassis;
using halvex::sim::Model;

const char kUsage[] =
    "usage: halvex-sim [--card SLOT:MODEL[:IDTEXT]]... [--delay SLOT:MS]... [--silent SLOT]...\n"
    "                  [--link DIR] [--control PORT] [--line-timeout MS] [--quiet]\n"
    "  MODEL is X16, X48 or Y48; SLOT is 1..16; --control 0 picks a free port.\n";

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
        if (option == "--quiet") {
            options.quiet = true;
            continue;
        }
        static const char* const kWithValue[] = {"--card", "--delay",   "--silent",
                                                 "--link", "--control", "--line-timeout"};
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
            std::string idText = second == std::string::npos ? "" : value.substr(second + 1);
            chassis.PlugCard(slot, *model, idText);
        } else if (option == "--delay") {
            size_t colon = value.find(':');
            int slot = 0;
            long ms = 0;
            if (colon == std::string::npos || !ParseSlot(value.substr(0, colon), &slot) ||
                !ParseInt(value.substr(colon + 1), 0, 3600000, &ms)) {
                return Fail("bad --delay " + value);
            }
            chassis.SetDelay(slot, static_cast<int>(ms));
        } else if (option == "--silent") {
            int slot = 0;
            if (!ParseSlot(value, &slot))
                return Fail("bad --silent " + value);
            chassis.SetSilent(slot, true);
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
            chassis.SetLineTimeout(std::chrono::milliseconds(ms));
        }
    }

    std::string error;
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
