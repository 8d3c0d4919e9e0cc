// Parsing: command lines, lines of a script or the shell, and the arguments commands share.
// Everything here throws UsageError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "invocation.h"

namespace halvexctl {

// Parses a command line, or a line of a script on top of the session's options (`inScript`).
Invocation Parse(const std::vector<std::string>& words, const Options& base, bool inScript);
// Parses and checks one line of a script or the shell.
Invocation ParseLine(const std::vector<std::string>& words, const Options& base);
// Splits a line of a script into words: blanks separate, quotes group, '#' starts a comment.
std::vector<std::string> Words(const std::string& line);
// A script line's words; a control character (a NUL would cut a word short in the library's
// strings) is refused with its column. A CR before the line end is a line end.
std::vector<std::string> ScriptWords(std::string line);

// The card and relay a command line names (none when it names none).
struct Target {
    bool hasCard = false;
    long long card = 0;
    std::string relay;
};
Target TargetOf(const std::string& what);

int32_t ParseInt(const std::string& text, const char* what);
// Exactly `count` words: the command and its arguments.
void NeedCount(const Invocation& inv, size_t count);
// A card number is a slot of the chassis: anything else is a typo, caught before discovery.
int32_t CardArg(const Invocation& inv);
// Rows, columns and relay numbers count from 0 or 1; a negative one is a typo.
int32_t RelayNumber(const std::string& text, const char* what);
std::string NeedMonitorPort(const Invocation& inv);

// The checks of commands without arguments, of those that take a card, and of those that
// also read the monitoring port.
void CheckNone(const Invocation& inv);
void CheckDoctor(const Invocation& inv);
void CheckCard(const Invocation& inv);
void CheckMonitored(const Invocation& inv);

}  // namespace halvexctl
