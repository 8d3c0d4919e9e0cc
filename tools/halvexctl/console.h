// What the command-line tool needs from the platform: readable messages, Ctrl-C, terminals, line
// editing and the machine's serial ports.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "halvex.h"

namespace halvexctl {

// The library's messages are code page 949 bytes; the console wants UTF-8.
std::string Cp949ToUtf8(const std::string& text);
// Sets `*flag` (from a signal handler or another thread) when the user presses Ctrl-C; null
// puts back the default, which ends the program.
void OnInterrupt(std::atomic<bool>* flag);
// Releases an array from GetHalvexSeries with the allocator the library used.
void ReleaseSeries(CardInfo* records);
// Sleeps the calling thread.
void PauseMs(int ms);
// True when `stream` is a terminal (progress and prompts go only to terminals).
bool IsTerminal(std::FILE* stream);

// What reading a line at the shell's prompt gave.
enum class Typed { kLine, kInterrupted, kEnd };

// A line editor on the terminal, with the history of the lines read.
class LineEditor {
  public:
    virtual ~LineEditor() = default;
    // Shows `prompt` and reads one line into `line`; Ctrl-C drops what was typed so far.
    virtual Typed Read(const std::string& prompt, std::string& line) = 0;
};

// The shell's line editor when standard input and output are a terminal; null when they are
// not, or where the console edits lines itself (Windows).
std::unique_ptr<LineEditor> OpenLineEditor();

// One serial port of the machine; fields the platform does not know stay empty.
struct SerialPort {
    std::string device;             // /dev/ttyUSB0, COM3
    std::string openAs;             // the name to give --port: \\.\COM10 for COM10 and above
    std::vector<std::string> byId;  // Linux: the /dev/serial/by-id names that point at it
    std::string vendorId;           // USB idVendor, four hex digits
    std::string productId;          // USB idProduct
    std::string serialNumber;       // USB serial number
    std::string manufacturer;       // USB manufacturer text
    std::string product;            // USB product text
    std::string kernelName;         // Windows: the driver's device name (\Device\Serial0)
    std::string latencyTimer;  // a USB adapter's latency timer in ms, where the system shows it
};

// The serial ports, in a stable order. On Linux `root` is put in front of /dev and /sys (empty:
// the machine's own); Windows reads the registry and ignores it.
std::vector<SerialPort> ListSerialPorts(const std::string& root);

// The latency timer in ms of the USB adapter behind `port` (a device name or a link to one),
// or "" where the system does not show one.
std::string LatencyTimerOf(const std::string& port);
// How to lower a USB adapter's latency timer for good on this platform.
const char* LatencyAdvice();

// Why `port` does not open ("no such file", "permission denied: ..."), or "" when nothing
// stands in the way that the platform can tell.
std::string PortOpenReason(const std::string& port);
// The other processes that have `port` open as "pid 12 (minicom)", leaving out this one and the
// far end of a pseudo-terminal; empty where the platform cannot tell.
std::vector<std::string> PortSharers(const std::string& port);

}  // namespace halvexctl
