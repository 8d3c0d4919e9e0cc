// The tables halvexctl is made of: relay kinds (from the library's vocabulary), options and
// commands. Parsing, help, the man page and the bash completion are all read from them, so they
// cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/vocabulary.h"
#include "fixture/relay_exports.h"
#include "invocation.h"

namespace halvexctl {

class Session;

// A table's rows, for range-for over an array defined in one file.
template <typename Row>
struct Rows {
    const Row* first;
    std::size_t count;
    const Row* begin() const { return first; }
    const Row* end() const { return first + count; }
};

using Shape = halvex::RelayShape;
using ModelCalls = halvex::RelayExport;

struct RelayKind {
    const char* name;
    const char* args;
    Shape shape;
    const char* summary;
    Rows<ModelCalls> models;  // by model in the vocabulary's order; a null model lacks the kind
};

Rows<RelayKind> RelayKinds();
// "X16, Y48": the models that have `kind`.
std::string Models(const RelayKind& kind);

struct OptionDef {
    const char* name;
    const char* value;     // null: a flag
    const char* commands;  // the commands it is for; null: every command
    bool perLine;          // may be given on a line of a script or the shell
    const char* help;
};

Rows<OptionDef> OptionTable();
const OptionDef* FindOption(const std::string& name);

struct Command {
    const char* name;
    const char* args;
    const char* models;
    const char* exports;
    const char* summary;
    const char* details;  // for COMMAND --help and the man page; may be empty
    bool usesPort;        // opens the command port (once per session)
    bool inScripts;       // may be a line of run and shell
    bool namesRelay;      // takes a RELAY, described with the relay kinds
    void (*check)(const Invocation&);
    int (*run)(Session&, const Invocation&);
};

Rows<Command> Commands();
const Command* FindCommand(const std::string& name);
// Options that apply to a command (all of them for null), in table order.
std::vector<const OptionDef*> OptionsFor(const Command* c);
// "close CARD RELAY"
std::string Synopsis(const Command& c);

}  // namespace halvexctl
