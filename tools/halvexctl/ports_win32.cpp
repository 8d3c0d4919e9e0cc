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
    for (SerialPort& port : ports)
        port.latencyTimer = LatencyTimerOf(port.device);
    auto number = [](const SerialPort& p) {
        return p.device.compare(0, 3, "COM") == 0 ? std::atoi(p.device.c_str() + 3) : 0;
    };
    std::sort(ports.begin(), ports.end(), [&](const SerialPort& a, const SerialPort& b) {
        return number(a) != number(b) ? number(a) < number(b) : a.device < b.device;
    });
    return ports;
}

// FTDI's driver keeps each adapter's settings under Enum\FTDIBUS\<device>\<instance>\Device
// Parameters: PortName ("COM7") and LatencyTimer (ms).
std::string LatencyTimerOf(const std::string& port) {
    std::string name = port;
    if (name.compare(0, 4, "\\\\.\\") == 0)
        name = name.substr(4);
    HKEY bus = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS", 0, KEY_READ,
                      &bus) != ERROR_SUCCESS)
        return {};
    std::string found;
    char device[256];
    for (DWORD i = 0; found.empty(); ++i) {
        DWORD size = sizeof(device);
        if (RegEnumKeyExA(bus, i, device, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        const std::string params = std::string(device) + "\\0000\\Device Parameters";
        char portName[64] = {};
        DWORD nameSize = sizeof(portName) - 1;
        DWORD latency = 0;
        DWORD latencySize = sizeof(latency);
        if (RegGetValueA(bus, params.c_str(), "PortName", RRF_RT_REG_SZ, nullptr, portName,
                         &nameSize) == ERROR_SUCCESS &&
            _stricmp(portName, name.c_str()) == 0 &&
            RegGetValueA(bus, params.c_str(), "LatencyTimer", RRF_RT_REG_DWORD, nullptr, &latency,
                         &latencySize) == ERROR_SUCCESS)
            found = std::to_string(latency);
    }
    RegCloseKey(bus);
    return found;
}

const char* LatencyAdvice() {
    return "The library sets the line feed as the port's event character, which FTDI adapters "
           "answer at once. To lower the timer for every program: Device Manager, Ports (COM & "
           "LPT), the port's Properties, Port Settings, Advanced..., Latency Timer (msec): 1.";
}

}  // namespace halvexctl
