// The serial ports of a Linux machine: /dev/serial/by-id and the ttyS, ttyUSB and ttyACM devices,
// with what sysfs knows of the USB device behind each.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "console.h"

namespace halvexctl {

namespace {

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string Resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

// The first line of a sysfs attribute, or "" when it is missing.
std::string Attribute(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// "ttyUSB12" -> ("ttyUSB", 12); only the three families of serial devices count.
bool SerialFamily(const std::string& name, std::string& family, long& number) {
    for (const char* f : {"ttyUSB", "ttyACM", "ttyS"}) {
        const std::string prefix = f;
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
            family = prefix;
            number = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
            return true;
        }
    }
    return false;
}

// Walks up from the tty's device folder to the USB device that carries idVendor.
void ReadUsb(const std::string& sysRoot, std::string dir, SerialPort& port) {
    while (dir.size() > sysRoot.size() && dir.compare(0, sysRoot.size(), sysRoot) == 0) {
        if (Exists(dir + "/idVendor")) {
            port.vendorId = Attribute(dir + "/idVendor");
            port.productId = Attribute(dir + "/idProduct");
            port.serialNumber = Attribute(dir + "/serial");
            port.manufacturer = Attribute(dir + "/manufacturer");
            port.product = Attribute(dir + "/product");
            return;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
}

}  // namespace

std::vector<SerialPort> ListSerialPorts(const std::string& root) {
    const std::string realRoot = root.empty() ? std::string() : Resolved(root);
    const std::string sysRoot = Resolved(root + "/sys");
    struct Key {
        std::string family;
        long number;
        bool operator<(const Key& o) const {
            return family != o.family ? family < o.family : number < o.number;
        }
    };
    std::map<Key, SerialPort> found;
    for (const std::string& name : Entries(root + "/dev")) {
        Key key;
        if (!SerialFamily(name, key.family, key.number))
            continue;
        SerialPort port;
        port.device = "/dev/" + name;
        port.openAs = port.device;
        const std::string device = Resolved(root + "/sys/class/tty/" + name + "/device");
        if (key.family == "ttyS") {
            // The kernel makes ttyS0-31 whether or not a UART is there; those without one hang
            // off the platform bus.
            const std::string bus = Resolved(device + "/subsystem");
            if (device.empty() || bus.substr(bus.rfind('/') + 1) == "platform")
                continue;
        }
        if (!device.empty() && !sysRoot.empty())
            ReadUsb(sysRoot, device, port);
        port.latencyTimer =
            Attribute(root + "/sys/bus/usb-serial/devices/" + name + "/latency_timer");
        found[key] = port;
    }
    std::vector<SerialPort> ports;
    for (auto& entry : found)
        ports.push_back(entry.second);
    const std::string byIdDir = root + "/dev/serial/by-id";
    for (const std::string& name : Entries(byIdDir)) {
        std::string target = Resolved(byIdDir + "/" + name);
        if (target.empty())
            continue;  // a link to a device that has gone
        if (!realRoot.empty() && target.compare(0, realRoot.size(), realRoot) == 0)
            target = target.substr(realRoot.size());
        auto it = std::find_if(ports.begin(), ports.end(),
                               [&](const SerialPort& p) { return p.device == target; });
        if (it == ports.end()) {
            SerialPort port;
            port.device = target;
            port.openAs = target;
            ports.push_back(port);
            it = ports.end() - 1;
        }
        it->byId.push_back("/dev/serial/by-id/" + name);
    }
    return ports;
}

std::string LatencyTimerOf(const std::string& port) {
    const std::string device = Resolved(port);
    if (device.empty())
        return {};
    return Attribute("/sys/bus/usb-serial/devices/" + device.substr(device.rfind('/') + 1) +
                     "/latency_timer");
}

const char* LatencyAdvice() {
    return "The library asks for low latency (1 ms) while it holds the port. To keep 1 ms for "
           "every program and across replugs, add this udev rule, e.g. as "
           "/etc/udev/rules.d/99-usb-serial-latency.rules:\n"
           "  ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", "
           "ATTR{latency_timer}=\"1\"";
}

}  // namespace halvexctl
