// What the API suite runs against: the library, its port names and the simulator.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "api/binding.h"
#include "api/sim_client.h"

namespace halvex_test {

struct Setup {
    std::string library;       // HALVEX_LIBRARY
    std::string names;         // HALVEX_EXPORT_NAMES: plain, release or debug
    std::string commandPort;   // HALVEX_PORT
    std::string monitorPorts;  // HALVEX_MONITOR_PORTS: 16 names separated by commas
    std::string control;       // HALVEX_SIM_CONTROL
};

const Setup& TheSetup();
Library& TheLibrary();
const Api& A();
SimClient& Sim();
// The monitoring port of a slot.
std::string MonitorPort(int slot);

// File descriptors (Linux) or handles (Windows) the process holds open now.
int OpenHandleCount();
// Processor time this process has used so far (user and system), in milliseconds.
double ProcessCpuMilliseconds();
// The count once it has come back to `before`, or what it is after a few seconds of waiting.
int SettledHandleCount(int before);
// Handles a Windows process may gain that are not the library's: Wine makes a critical
// section's wait event the first time two threads contend for it and keeps it for good. A
// leak of one handle per cycle still shows, since the tests run many more cycles than this.
constexpr int kHandleCountNoise =
#if defined(_WIN32)
    16;
#else
    0;
#endif

// Base of every API test: an empty simulated chassis, the library's port closed.
class ApiTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Plugs the cards and opens the command port; fails the test unless OpenHalvex gives 0.
    void OpenWith(const std::string& cards);
    // As OpenWith, with every other slot answering the identification query with a text that
    // names no model: the same cards are registered, and discovery does not wait out the reply
    // limit of each empty slot. For tests that are not about empty slots.
    void OpenWithNoSilentSlot(const std::string& cards);
    // Plugs "3:X16:HALVEX X16 A;7:Y48:HALVEX Y48 B"; true for each slot given a card.
    std::vector<bool> PlugCards(const std::string& cards);

  private:
    void OpenAndClearLog();
};

// Milliseconds a call took.
template <class F>
double MillisecondsOf(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace halvex_test
