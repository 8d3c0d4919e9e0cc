// read and watch: the signal inputs of a card on its monitoring port.
#pragma once

#include "invocation.h"

namespace halvexctl {

class Session;

int RunRead(Session& session, const Invocation& inv);
int RunWatch(Session& session, const Invocation& inv);

}  // namespace halvexctl
