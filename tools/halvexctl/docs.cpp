#include "docs.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "core/vocabulary.h"
#include "output.h"
#include "parse.h"
#include "tables.h"

namespace halvexctl {

namespace {

void PrintOptions(const std::vector<const OptionDef*>& options) {
    for (const OptionDef* d : options) {
        const std::string left =
            std::string(d->name) + (d->value ? " " + std::string(d->value) : "");
        std::printf("  %-22s %s\n", left.c_str(), d->help);
    }
}

// Prints `text` in lines of at most 78 characters.
void PrintWrapped(const std::string& text) {
    std::istringstream in(text);
    std::string word, line;
    while (in >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > 78) {
            std::printf("%s\n", line.c_str());
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty())
        std::printf("%s\n", line.c_str());
}

// "Rows 10, 20, ... and 50 have the wire form of the GP relay, ... and single relay groups, ..."
std::string GroupRowsText() {
    std::string rows, groups;
    const size_t n = sizeof(halvex::kRelayGroups) / sizeof(halvex::kRelayGroups[0]);
    for (size_t i = 0; i < n; ++i) {
        const char* joint = i == 0 ? "" : i + 1 == n ? " and " : ", ";
        rows += joint + std::to_string(halvex::kRelayGroups[i].code);
        groups += joint + std::string(halvex::kRelayGroups[i].name);
    }
    return "Rows " + rows + " have the wire form of the " + groups +
           " groups, so a card would switch a relay of that group: they are refused unless "
           "--allow-group-rows is given.";
}

std::string KindSynopsis(const RelayKind& k) {
    return std::string(k.name) + (*k.args ? " " : "") + k.args;
}

void PrintRelayKinds() {
    for (const RelayKind& k : RelayKinds())
        std::printf("  %-22s %s (%s)\n", KindSynopsis(k).c_str(), k.summary, Models(k).c_str());
}

// Text for troff: backslashes doubled, hyphens as minus signs, no line starting with a dot.
std::string Roff(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out = "\\&" + out;
    return out;
}

std::string NamesOf(const char* joint, bool valuedOnly) {
    std::string out;
    for (const OptionDef& d : OptionTable()) {
        if (!valuedOnly || d.value != nullptr)
            out += (out.empty() ? "" : joint) + std::string(d.name);
    }
    return out;
}

}  // namespace

void PrintHelp(const Command* c) {
    if (c == nullptr) {
        std::printf("usage: halvexctl [OPTIONS] COMMAND [ARGS]\n\ncommands:\n");
        for (const Command& k : Commands())
            std::printf("  %-22s %s\n", Synopsis(k).c_str(), k.summary);
        std::printf("\nRELAY of close and open:\n");
        PrintRelayKinds();
        std::printf("\noptions:\n");
        PrintOptions(OptionsFor(nullptr));
        std::printf(
            "\nResults go to standard output, errors and progress to standard error. The exit\n"
            "status is the library's result code (0 success), 64 for a usage error, or 69 when\n"
            "the port opened but no card answered discovery.\n"
            "'halvexctl COMMAND --help' describes one command.\n");
        return;
    }
    std::printf("usage: halvexctl [OPTIONS] %s\n\n%s.\n", Synopsis(*c).c_str(), c->summary);
    if (*c->details)
        PrintWrapped(c->details);
    if (c->namesRelay)
        PrintWrapped(GroupRowsText());
    if (std::strcmp(c->models, "-") != 0)
        std::printf("models: %s; library calls: %s\n", c->models, c->exports);
    if (c->namesRelay) {
        std::printf("\nRELAY:\n");
        PrintRelayKinds();
    }
    std::printf("\noptions:\n");
    PrintOptions(OptionsFor(c));
}

void CheckHelp(const Invocation& inv) {
    if (inv.args.size() > 2)
        NeedCount(inv, 2);
    if (inv.args.size() == 2 && FindCommand(inv.args[1]) == nullptr)
        throw UsageError{"unknown command '" + inv.args[1] + "'"};
}

int RunHelp(Session&, const Invocation& inv) {
    PrintHelp(inv.args.size() > 1 ? FindCommand(inv.args[1]) : nullptr);
    return 0;
}

void PrintMan() {
    std::printf(".TH HALVEXCTL 1 \"\" \"Halvex %s\" \"User Commands\"\n", HALVEX_VERSION);
    std::printf(".SH NAME\nhalvexctl \\- bring a Halvex relay chassis up on the bench\n");
    std::printf(".SH SYNOPSIS\n.B halvexctl\n[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]\n");
    std::printf(
        ".SH DESCRIPTION\nControls a chassis of Halvex relay cards over its command port. "
        "Results go to standard output, errors and progress to standard error.\n");
    std::printf(".SH COMMANDS\n");
    for (const Command& c : Commands()) {
        std::printf(".TP\n.B %s\n%s.\n", Roff(Synopsis(c)).c_str(), Roff(c.summary).c_str());
        if (*c.details)
            std::printf("%s\n", Roff(c.details).c_str());
        if (c.namesRelay)
            std::printf("%s\n", Roff(GroupRowsText()).c_str());
        if (std::strcmp(c.models, "-") != 0) {
            std::printf("Models: %s; library calls: %s.\n", Roff(c.models).c_str(),
                        Roff(c.exports).c_str());
        }
    }
    std::printf(".SH RELAYS\nThe RELAY of close and open:\n");
    for (const RelayKind& k : RelayKinds()) {
        std::printf(".TP\n.B %s\n%s (%s).\n", Roff(KindSynopsis(k)).c_str(),
                    Roff(k.summary).c_str(), Roff(Models(k)).c_str());
    }
    std::printf(".SH OPTIONS\n");
    for (const OptionDef& d : OptionTable()) {
        const std::string left = std::string(d.name) + (d.value ? " " + std::string(d.value) : "");
        std::printf(".TP\n.B %s\n%s.\n", Roff(left).c_str(), Roff(d.help).c_str());
    }
    std::printf(
        ".SH ENVIRONMENT\n.TP\n.B HALVEX_PORT\nthe command port.\n.TP\n.B HALVEX_MONITOR_PORT\n"
        "the monitoring port of read and watch.\n");
    std::printf(".SH EXIT STATUS\n");
    for (int c = 0; c <= 8; ++c)
        std::printf(".TP\n.B %d\n%s.\n", c, Roff(English(c)).c_str());
    std::printf(".TP\n.B 64\na usage error.\n");
    std::printf(".TP\n.B %d\nthe port opened but no card answered discovery.\n", kNoCard);
}

void PrintCompletion() {
    std::string commands, kinds;
    for (const Command& c : Commands())
        commands += (commands.empty() ? "" : " ") + std::string(c.name);
    for (const RelayKind& k : RelayKinds())
        kinds += (kinds.empty() ? "" : " ") + std::string(k.name);
    const std::string options = NamesOf(" ", false), valued = NamesOf("|", true);
    std::printf(
        "# bash completion for halvexctl (made by halvexctl --completion bash)\n"
        "_halvexctl() {\n"
        "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"\" cmd=\"\" kind=\"\" i w\n"
        "    local -i pos=0\n"
        "    ((COMP_CWORD > 0)) && prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
        "    COMPREPLY=()\n"
        "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "        w=\"${COMP_WORDS[i]}\"\n"
        "        case \"$w\" in\n"
        "            %s) ((i++)) ;;\n"
        "            -*) ;;\n"
        "            *) if [[ -z $cmd ]]; then cmd=\"$w\"; else pos+=1; ((pos == 2)) && "
        "kind=\"$w\"; fi ;;\n"
        "        esac\n"
        "    done\n"
        "    case \"$prev\" in\n"
        "        --port|--monitor-port) COMPREPLY=($(compgen -f -- \"$cur\")); return 0 ;;\n"
        "        %s) return 0 ;;\n"
        "    esac\n"
        "    if [[ $cur == -* ]]; then\n"
        "        COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")); return 0\n"
        "    fi\n"
        "    if [[ -z $cmd ]]; then\n"
        "        COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")); return 0\n"
        "    fi\n"
        "    case \"$cmd\" in\n"
        "        close|open)\n"
        "            if ((pos == 1)); then COMPREPLY=($(compgen -W \"%s\" -- \"$cur\"))\n"
        "            elif [[ $kind == row ]] && ((pos == 3)); then\n"
        "                COMPREPLY=($(compgen -W \"hi lo\" -- \"$cur\"))\n"
        "            fi ;;\n"
        "        run) ((pos == 0)) && COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n"
        "        help) ((pos == 0)) && COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")) ;;\n"
        "    esac\n"
        "    return 0\n"
        "}\n"
        "complete -o filenames -F _halvexctl halvexctl\n",
        valued.c_str(), valued.c_str(), options.c_str(), commands.c_str(), kinds.c_str(),
        commands.c_str());
}

}  // namespace halvexctl
