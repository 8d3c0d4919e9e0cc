#include "api/sim_client.h"

#include <chrono>
#include <cstdint>
#include <thread>
#include <stdexcept>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace halvex_test {

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

SimClient::SimClient(const std::string& hostPort) {
#if defined(_WIN32)
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
    const size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos)
        throw std::runtime_error("bad control address " + hostPort);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(hostPort.substr(colon + 1))));
    addr.sin_addr.s_addr = inet_addr(hostPort.substr(0, colon).c_str());
    auto s = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        throw std::runtime_error("cannot reach the simulator at " + hostPort);
    }
    socket_ = static_cast<intptr_t>(s);
}

SimClient::~SimClient() {
#if defined(_WIN32)
    closesocket(static_cast<SOCKET>(socket_));
#else
    close(static_cast<int>(socket_));
#endif
}

std::string SimClient::ReadLine() {
    for (;;) {
        const size_t pos = buffered_.find('\n');
        if (pos != std::string::npos) {
            std::string line = buffered_.substr(0, pos);
            buffered_.erase(0, pos + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        char buf[4096];
        const int n = static_cast<int>(recv(socket_, buf, sizeof(buf), 0));
        if (n <= 0)
            throw std::runtime_error("simulator closed the control channel");
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

std::string SimClient::Request(const std::string& line) {
    const std::string out = line + "\n";
    send(socket_, out.data(), static_cast<int>(out.size()), 0);
    std::string reply = ReadLine();
    EXPECT_EQ(reply.rfind("OK", 0), 0u) << "simulator refused '" << line << "': " << reply;
    return reply;
}

void SimClient::Card(int slot, const std::string& model, const std::string& idText) {
    Request("card " + std::to_string(slot) + " " + model + " " + idText);
}

void SimClient::RawIdn(int slot, const std::string& bytes) {
    Request("idn " + std::to_string(slot) + " " + Hex(bytes));
}

void SimClient::Next(int slot, const std::string& steps) {
    Request("next " + std::to_string(slot) + " " + steps);
}

void SimClient::Delay(int slot, int ms) {
    Request("delay " + std::to_string(slot) + " " + std::to_string(ms));
}

void SimClient::Status(int slot, int statusByte) {
    Request("status " + std::to_string(slot) + " " + std::to_string(statusByte));
}

void SimClient::Photo(int slot, const std::string& bytes) {
    Request("photo " + std::to_string(slot) + " " + (bytes.empty() ? "-" : Hex(bytes)));
}

void SimClient::Fault(int slot, const std::string& mode) {
    Request("fault " + std::to_string(slot) + " " + mode);
}

void SimClient::Vanish(const std::string& port, bool afterLine) {
    Request("vanish " + port + (afterLine ? " after-line" : ""));
}

void SimClient::Replug(const std::string& port) {
    Request("replug " + port);
}

std::vector<WireLine> SimClient::Log(int settleMs) {
    SleepMs(settleMs);
    const std::string head = Request("log");
    const int count = std::stoi(head.substr(3));
    std::vector<WireLine> lines;
    for (int i = 0; i < count; ++i) {
        const std::string line = ReadLine();
        const size_t space = line.find(' ');
        lines.push_back({line.substr(0, space),
                         space == std::string::npos ? "" : Unhex(line.substr(space + 1))});
    }
    return lines;
}

std::vector<std::string> SimClient::CommandLines(int settleMs) {
    std::vector<std::string> out;
    for (const auto& line : Log(settleMs)) {
        if (line.port == "cmd")
            out.push_back(line.bytes);
    }
    return out;
}

}  // namespace halvex_test
