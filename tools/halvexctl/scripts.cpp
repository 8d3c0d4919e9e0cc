#include "scripts.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "docs.h"
#include "output.h"
#include "parse.h"
#include "session.h"
#include "tables.h"

namespace halvexctl {

namespace {

constexpr int kNoReplyRun = 3;  // no-reply results in a row after which the shell suspects the port

struct ScriptLine {
    int number;
    Invocation inv;
};

// The summary of a run with --keep-going: how many lines ran and which failed.
void ReportRun(const Options& o, const std::string& file, int first, size_t ran,
               const std::vector<int>& failed) {
    if (o.json) {
        Json summary;
        summary["command"] = "run " + file;
        summary["code"] = first;
        summary["result"] = first;
        summary["english"] = English(first);
        summary["lines"] = static_cast<unsigned>(ran);
        summary["failed"] = failed;
        std::printf("%s\n", JsonText(summary).c_str());
        std::fflush(stdout);
        return;
    }
    std::string numbers;
    for (int n : failed)
        numbers += (numbers.empty() ? "" : ", ") + std::to_string(n);
    std::fflush(stdout);
    std::fprintf(stderr, "halvexctl: %s: %u lines run, %u failed%s\n", file.c_str(),
                 static_cast<unsigned>(ran), static_cast<unsigned>(failed.size()),
                 failed.empty() ? "" : (" (lines " + numbers + ")").c_str());
}

// The shell's own lines, for its help.
const char* const kShellHelp =
    "\nshell commands:\n"
    "  help [COMMAND]         this help, or a command's\n"
    "  reopen                 close the command port, open it again and discover the cards\n"
    "                         (after its adapter was unplugged and plugged in again)\n"
    "  quit, exit             leave the shell (so does end of input)\n";

const char* const kPrompt = "halvexctl> ";

// A line of standard input, with a prompt when it is a terminal that the platform leaves to
// its console's own editing.
Typed ReadPlain(bool prompt, std::string& text) {
    if (prompt) {
        std::printf("%s", kPrompt);
        std::fflush(stdout);
    }
    // Ctrl-C at the prompt drops the line typed so far, as a shell does.
    std::atomic<bool> interrupted{false};
    if (prompt)
        OnInterrupt(&interrupted);
    const bool got = static_cast<bool>(std::getline(std::cin, text));
    if (prompt)
        OnInterrupt(nullptr);
    if (got)
        return Typed::kLine;
    if (!interrupted)
        return Typed::kEnd;
    std::cin.clear();
    std::clearerr(stdin);
    return Typed::kInterrupted;
}

// The shell's help: the tool's or one command's.
void ShellHelp(const std::vector<std::string>& words) {
    const Command* c = words.size() > 1 ? FindCommand(words[1]) : nullptr;
    if (words.size() > 1 && c == nullptr)
        throw UsageError{"unknown command '" + words[1] + "'"};
    PrintHelp(c);
    if (c == nullptr)
        std::printf("%s", kShellHelp);
}

// Opens the port again, after its adapter was plugged in again.
int Reopen(Session& session, const Invocation& top, const std::vector<std::string>& words) {
    if (words.size() > 1)
        throw UsageError{"reopen takes no arguments"};
    if (session.port().empty())
        throw UsageError{"no command port: give --port or set HALVEX_PORT"};
    session.Forget();
    const std::string what = "reopen " + session.port();
    const int rc = OpenReported(session, top.options, what);
    if (rc == 0) {
        const size_t n = session.Slots().size();
        Json fields;
        fields["cards"] = n;
        Report(session, top.options, what, 0, fields,
               "  " + std::to_string(n) + " card" + (n == 1 ? "" : "s"));
    }
    return rc;
}

}  // namespace

void CheckRun(const Invocation& inv) {
    NeedCount(inv, 2);
}

void CheckShell(const Invocation& inv) {
    NeedCount(inv, 1);
}

int RunScript(Session& session, const Invocation& top) {
    const std::string& file = top.args[1];
    std::ifstream stream;
    std::istream* in = &std::cin;
    if (file != "-") {
        stream.open(file);
        if (!stream)
            throw UsageError{"cannot read the script '" + file + "'", "run"};
        in = &stream;
    }
    // Every line is checked before anything is sent: a typo on line 90 must not leave the
    // chassis half set up.
    // Every bad line is reported, so one edit fixes them all.
    std::vector<ScriptLine> lines;
    std::string text;
    int number = 0;
    bool bad = false;
    while (std::getline(*in, text)) {
        ++number;
        try {
            const std::vector<std::string> words = ScriptWords(text);
            if (words.empty())
                continue;
            lines.push_back({number, ParseLine(words, top.options)});
            lines.back().inv.options.script = file;
            lines.back().inv.options.line = number;
        } catch (const UsageError& e) {
            ReportUsage(top.options.json, text, e, file + ":" + std::to_string(number) + ": ");
            bad = true;
        }
    }
    for (const ScriptLine& line : lines) {
        if (FindCommand(line.inv.args[0])->usesPort && session.port().empty()) {
            ReportUsage(top.options.json, Joined(line.inv.args),
                        {"no command port: give --port or set HALVEX_PORT", "run"},
                        file + ":" + std::to_string(line.number) + ": ");
            bad = true;
            break;  // one port for every line: once is enough
        }
    }
    if (bad)
        return kUsageError;
    int first = 0;
    std::vector<int> failed;
    size_t ran = 0;
    for (const ScriptLine& line : lines) {
        const int rc = Execute(session, line.inv);
        ++ran;
        if (rc == 0)
            continue;
        if (first == 0)
            first = rc;
        failed.push_back(line.number);
        if (!top.options.keepGoing) {
            std::fprintf(stderr, "halvexctl: %s:%d: stopped at the first failure (%d)\n",
                         file.c_str(), line.number, rc);
            break;
        }
    }
    if (top.options.keepGoing)
        ReportRun(top.options, file, first, ran, failed);
    return first;
}

int RunShell(Session& session, const Invocation& top) {
    const bool prompt = IsTerminal(stdin);
    const std::unique_ptr<LineEditor> editor = prompt ? OpenLineEditor() : nullptr;
    int first = 0;
    int noReplies = 0;
    std::string text;
    for (;;) {
        const Typed typed = editor ? editor->Read(kPrompt, text) : ReadPlain(prompt, text);
        if (typed == Typed::kEnd)
            break;
        if (typed == Typed::kInterrupted) {
            std::printf("\n");
            continue;
        }
        std::vector<std::string> words;
        try {
            words = ScriptWords(text);
            if (words.empty())
                continue;
            if (words[0] == "quit" || words[0] == "exit")
                break;
            if (words[0] == "help") {
                ShellHelp(words);
                continue;
            }
            const int rc = words[0] == "reopen" ? Reopen(session, top, words)
                                                : Execute(session, ParseLine(words, top.options));
            // A port whose adapter went answers nothing, ever: say what brings it back.
            noReplies = rc == kNoReply ? noReplies + 1 : 0;
            if (noReplies == kNoReplyRun) {
                std::fflush(stdout);
                std::fprintf(stderr,
                             "halvexctl: %d commands in a row had no reply: the port %s may be "
                             "gone (adapter unplugged?); 'reopen' opens it again\n",
                             kNoReplyRun, session.port().c_str());
            }
            if (first == 0)
                first = rc;
        } catch (const UsageError& e) {
            ReportUsage(top.options.json, Joined(words), e);
            if (first == 0)
                first = kUsageError;
        }
    }
    if (prompt)
        std::printf("\n");
    return first;
}

}  // namespace halvexctl
