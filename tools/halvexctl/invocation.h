// What every part of halvexctl shares: the exit statuses of its own, a parsed command line with
// its options, and the usage error that any part may throw.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace halvexctl {

constexpr int kUsageError = 64;  // outside the library's result codes
constexpr int kNoReply = 4;      // also a watch that ends while its inputs are silent
constexpr int kNoCard = 69;      // the port opened but no card answered discovery

struct UsageError {
    UsageError(std::string m, std::string c = "") : message(std::move(m)), command(std::move(c)) {}
    std::string message;
    std::string command;  // names the help to point at; empty for the global help
};

struct Options {
    std::string port;
    std::string monitorPort;
    std::string fixture;  // a fixture file: nets, routes and interlocks over the relay commands
    bool json = false;
    bool keepGoing = false;
    bool allowGroupRows = false;
    double interval = 0.2;
    double duration = -1.0;
    std::string script;  // the script and line a command comes from; line 0: the command line
    int line = 0;
};

struct Invocation {
    Options options;
    std::vector<std::string> args;  // the command and its arguments
    bool help = false;
};

}  // namespace halvexctl
