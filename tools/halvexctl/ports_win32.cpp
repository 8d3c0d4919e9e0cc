// The serial ports of a Windows machine: the COM ports the serial drivers list in the registry.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "console.h"

namespace halvexctl {

std::vector<SerialPort> ListSerialPorts(const std::string&) {
    std::vector<SerialPort> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        BYTE data[256];
        DWORD nameSize = sizeof(name);
        DWORD dataSize = sizeof(data) - 1;
        DWORD type = 0;
        const LONG rc = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[dataSize] = 0;
        SerialPort port;
        port.device = reinterpret_cast<const char*>(data);
        port.kernelName = name;
        // CreateFile finds only COM1-COM9 by their bare name.
        const bool high = port.device.size() > 4 && port.device.compare(0, 3, "COM") == 0;
        port.openAs = high ? "\\\\.\\" + port.device : port.device;
        ports.push_back(port);
    }
    RegCloseKey(key);
    auto number = [](const SerialPort& p) {
        return p.device.compare(0, 3, "COM") == 0 ? std::atoi(p.device.c_str() + 3) : 0;
    };
    std::sort(ports.begin(), ports.end(), [&](const SerialPort& a, const SerialPort& b) {
        return number(a) != number(b) ? number(a) < number(b) : a.device < b.device;
    });
    return ports;
}

}  // namespace halvexctl
