// run and shell: many commands in one session, from a file or typed one per line.
#pragma once

#include "invocation.h"

namespace halvexctl {

class Session;

void CheckRun(const Invocation& inv);
void CheckShell(const Invocation& inv);
int RunScript(Session& session, const Invocation& top);
int RunShell(Session& session, const Invocation& top);

}  // namespace halvexctl
