// A chassis description: a text file of set-up requests, one a line, in the control channel's own
// syntax, so a bench is written down once and loaded with --chassis.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "chassis.h"

namespace halvex::sim {

// Applies every request of `text` in order. Blank lines are skipped; a '#' at the start of a
// line or after a blank starts a comment. On the first bad line returns false with
// "NAME:LINE: reason: text" in `error`. `applied` receives the requests as applied.
bool ApplyChassisText(Chassis& chassis, const std::string& name, std::string_view text,
                      std::vector<std::string>* applied, std::string* error);

// Reads the file and applies it as above; an unreadable file is an error too.
bool ApplyChassisFile(Chassis& chassis, const std::string& path, std::vector<std::string>* applied,
                      std::string* error);

}  // namespace halvex::sim
