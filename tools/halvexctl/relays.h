// close and open: a relay of any kind, with the export of the card's model.
#pragma once

#include "invocation.h"

namespace halvexctl {

class Session;

void CheckRelay(const Invocation& inv);
int RunRelay(Session& session, const Invocation& inv);

}  // namespace halvexctl
