// Lists: the cards discovery found, the machine's serial ports and the result codes.
#pragma once

#include "invocation.h"

namespace halvexctl {

class Session;

int RunList(Session& session, const Invocation& inv);
int RunPorts(Session& session, const Invocation& inv);
int RunCodes(Session& session, const Invocation& inv);
int RunDoctor(Session& session, const Invocation& inv);

}  // namespace halvexctl
