// What the fixture layer's check costs on a full chassis of sixteen X48 cards, against the
// number of relays already closed: the path search and the interlock of one more connect, as
// the dry run measures them (nothing is sent), and a connect carried out for comparison.
//
// Run by run_with_simulator.sh, which provides HALVEX_PORT and HALVEX_SIM_CONTROL.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "api/sim_client.h"
#include "fixture/fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSlots = 16, kColumns = 48;

std::string Net(int slot, int column) {
    return "N" + std::to_string(slot) + "_" + std::to_string(column);
}

// Every column of every card is a net; the odd columns of each card may never meet card 1's
// column 1, so every check walks rules as well as relays.
std::string FixtureText() {
    std::string text = "[cards]\n";
    for (int s = 1; s <= kSlots; ++s)
        text += std::to_string(s) + " = \"X48\"\n";
    text += "[nets]\n";
    for (int s = 1; s <= kSlots; ++s) {
        for (int c = 1; c <= kColumns; ++c)
            text +=
                Net(s, c) + " = [\"" + std::to_string(s) + ":col:" + std::to_string(c) + "\"]\n";
    }
    for (int s = 1; s <= kSlots; ++s) {
        for (int c = 3; c <= kColumns; c += 2)
            text += "[[forbid]]\nnets = [\"N1_1\", \"" + Net(s, c) + "\"]\n";
    }
    return text;
}

double CheckMs(halvex::fixture::Fixture& f, const std::string& operation, int rounds) {
    std::string plan;
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        if (f.Check(operation, &plan) != 0) {
            std::fprintf(stderr, "%s: %s\n", operation.c_str(), f.LastError().c_str());
            std::exit(1);
        }
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
}

}  // namespace

int main() {
    halvex_test::SimClient sim(std::getenv("HALVEX_SIM_CONTROL"));
    sim.Reset();
    for (int s = 1; s <= kSlots; ++s)
        sim.Card(s, "X48", "HALVEX X48 BENCH");
    halvex::fixture::FileError error;
    auto fixture = halvex::fixture::Fixture::FromText(FixtureText(), "bench", &error);
    if (!fixture || fixture->Open(std::getenv("HALVEX_PORT")) != 0) {
        std::fprintf(stderr, "%s%s\n", error.Text().c_str(),
                     fixture ? fixture->LastError().c_str() : "");
        return 1;
    }
    std::printf("closed relays | check of one more connect (ms) | connect carried out (ms)\n");
    int closed = 0;
    // Columns 2k and 2k+1 of each card are joined in turn through one row each: two relays.
    for (int pair = 1, step = 1; pair <= 20; ++pair) {
        for (int s = 1; s <= kSlots; ++s) {
            const std::string a = Net(s, 2 * pair), b = Net(s, 2 * pair + 1);
            if (pair == step && s == kSlots) {
                const double check = CheckMs(*fixture, "connect " + a + " " + b, 200);
                const auto start = Clock::now();
                const int32_t rc = fixture->Connect(a, b);
                const double connect =
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                std::printf("%13d | %30.3f | %24.2f%s\n", closed, check, connect,
                            rc == 0 ? "" : " (refused)");
                step *= 2;
            } else if (fixture->Connect(a, b) != 0) {
                std::fprintf(stderr, "%s\n", fixture->LastError().c_str());
                return 1;
            }
            closed += 2;
        }
    }
    return fixture->DisconnectAll() == 0 ? 0 : 1;
}
