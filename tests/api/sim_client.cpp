#include "api/sim_client.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace halvex_test {

namespace {

const char* const kClosed = "simulator closed the control channel";

}  // namespace

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

SimClient::SimClient(const std::string& hostPort) {
    std::string error;
    if (!channel_.Connect(hostPort, &error))
        throw std::runtime_error(error);
}

std::string SimClient::Request(const std::string& line) {
    std::string reply;
    if (!channel_.Send(line + "\n") || !channel_.ReadLine(&reply, ControlChannel::kForever))
        throw std::runtime_error(kClosed);
    if (!reply.empty() && reply.back() == '\r')
        reply.pop_back();
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
    std::vector<std::string> entries;
    if (!channel_.ReadListing(Request("log"), &entries, ControlChannel::kForever))
        throw std::runtime_error(kClosed);
    std::vector<WireLine> lines;
    for (const std::string& entry : entries)
        lines.push_back(DecodeLogEntry(entry));
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
