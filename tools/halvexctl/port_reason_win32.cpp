// Why a serial port would not open on Windows: the system's own words for the failure.
#include <windows.h>

#include <string>
#include <vector>

#include "console.h"

namespace halvexctl {

std::string PortOpenReason(const std::string& port) {
    HANDLE h = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return "";
    }
    const DWORD error = GetLastError();
    char text[512] = "";
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof(text), nullptr);
    std::string reason(text, n);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                               reason.back() == '.' || reason.back() == ' '))
        reason.pop_back();
    if (reason.empty())
        reason = "system error " + std::to_string(error);
    if (error == ERROR_ACCESS_DENIED)
        reason += " (another program may have the port open)";
    return reason;
}

// Windows opens a serial port for one program only; there is no one to warn about.
std::vector<std::string> PortSharers(const std::string&) {
    return {};
}

}  // namespace halvexctl
