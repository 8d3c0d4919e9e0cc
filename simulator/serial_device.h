// A real serial port, opened as the driver opens its own: so that the spy holds the chassis port
// exactly as the station software would.
#pragma once

#include <string>

namespace halvex::sim {

// Non-blocking, exclusive (TIOCEXCL and flock), raw 115200 8N1 without flow control, queues
// flushed. Returns the descriptor, or -1 with the reason in `error`.
int OpenSerialDevice(const std::string& path, std::string* error);
// Clears TIOCEXCL so the port can be opened again, then closes it.
void CloseSerialDevice(int fd);

}  // namespace halvex::sim
