// The documentation, made from the tables: the help, the man page and the bash completion.
#pragma once

#include "invocation.h"

namespace halvexctl {

class Session;
struct Command;

// The global help for null, else the command's.
void PrintHelp(const Command* c);
void CheckHelp(const Invocation& inv);
int RunHelp(Session& session, const Invocation& inv);

// The build writes these with --help-man and --completion bash.
void PrintMan();
void PrintCompletion();

}  // namespace halvexctl
