// The commands that ask one card: identify, self-test and reset.
#pragma once

#include "invocation.h"

namespace halvexctl {

class Session;

int RunIdentify(Session& session, const Invocation& inv);
int RunSelfTest(Session& session, const Invocation& inv);
int RunReset(Session& session, const Invocation& inv);

}  // namespace halvexctl
