// halvexctl: brings a Halvex chassis up on the bench from the command line.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "docs.h"
#include "invocation.h"
#include "output.h"
#include "parse.h"
#include "session.h"
#include "tables.h"

namespace halvexctl {
namespace {

int Main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    // Hidden: the build makes the man page and the completion from the tables.
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
    if (const char* p = std::getenv("HALVEX_FIXTURE"))
        base.fixture = p;
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
    Session session(inv.options.port, inv.options.fixture);
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
