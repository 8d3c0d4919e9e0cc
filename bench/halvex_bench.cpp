// Measures what the library adds above the floor of every exchange, and the processor time it
// spends while it waits, with the reader sleeping (the default) and with it polling back to
// back as the first design did, in the same run against the simulated chassis.
//
// Run by bench/run.sh (or run_with_simulator.sh), which provides HALVEX_PORT,
// HALVEX_MONITOR_PORTS and HALVEX_SIM_CONTROL.  Options: --quick, --json FILE,
// --max-cpu-share PERCENT (fail when the sleeping reader uses more).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include "api/sim_client.h"
#include "driver/controller.h"
#include "halvex.h"
#include "link/reply_reader.h"
#include "link/serial_link.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// User plus system time of the process, in milliseconds.
double CpuMs() {
#if defined(_WIN32)
    FILETIME create, exit, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &create, &exit, &kernel, &user);
    auto ms = [](const FILETIME& f) {
        return ((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
#else
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
#endif
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(std::ceil(p / 100.0 * v.size())) - 1;
    return v[std::min(i, v.size() - 1)];
}

struct Strategy {
    std::string name;
    double medianMs = 0, p99Ms = 0, overheadMs = 0, relayCpuShare = 0;
    double emptyDiscoveryMs = 0, emptyDiscoveryCpuShare = 0, fullDiscoveryMs = 0;
};

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// The simulator's own turnaround: a relay line written straight to the port and the time until
// its reply's line feed is queued, with no pause and no library in between.
double SimulatorTurnaroundMs(const std::string& port, int rounds) {
    halvex::SerialLink link;
    if (!link.OpenPort(port.c_str(), 115200))
        return -1;
    std::vector<double> times;
    const char command[] = "CLOSE(01,01,01)\n";
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        link.Write(command, static_cast<int32_t>(std::strlen(command)));
        halvex::ReplyLine line;
        uint8_t buf[256];
        while (!line.Complete() && Ms(Clock::now() - start) < 1000) {
            link.WaitReadable(50);
            int32_t n = 0;
            if (link.Read(buf, line.Room(), &n))
                line.Take(buf, n);
        }
        times.push_back(Ms(Clock::now() - start));
    }
    link.ClosePort();
    return Percentile(times, 50);
}

std::mutex gMutex;
std::vector<Clock::time_point> gReadings;
void HALVEX_CALLBACK OnReading(SignalStatus*, int32_t) {
    std::lock_guard<std::mutex> lock(gMutex);
    gReadings.push_back(Clock::now());
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string jsonPath;
    double maxCpuShare = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick")
            quick = true;
        if (a == "--json" && i + 1 < argc)
            jsonPath = argv[++i];
        if (a == "--max-cpu-share" && i + 1 < argc)
            maxCpuShare = std::atof(argv[++i]);
    }
    const std::string port = Env("HALVEX_PORT");
    std::string monitorPort = Env("HALVEX_MONITOR_PORTS");
    monitorPort = monitorPort.substr(0, monitorPort.find(','));  // slot 1's
    if (port.empty() || Env("HALVEX_SIM_CONTROL").empty()) {
        std::fprintf(stderr, "run me with bench/run.sh (HALVEX_PORT and HALVEX_SIM_CONTROL)\n");
        return 2;
    }
    halvex::CreateController();  // a program linking the library's objects has no load hook
    halvex_test::SimClient sim(Env("HALVEX_SIM_CONTROL"));
    const int rounds = quick ? 60 : 400;

    sim.Request("reset");
    sim.Request("card 1 X16 HALVEX X16 BENCH");
    const double turnaround = SimulatorTurnaroundMs(port, rounds);
    const double pauseMs = 10.0;
    // On a real line the command (16 bytes) and the reply (3 bytes) also take their wire time.
    const double wireMs = (16 + 3) * 10 / 115200.0 * 1000.0;

    std::vector<Strategy> results;
    for (const bool spin : {true, false}) {
        Strategy s;
        s.name = spin ? "polling (first design)" : "sleeping (now)";
        halvex::SetSpinningWait(spin);

        sim.Request("reset");
        sim.Request("card 1 X16 HALVEX X16 BENCH");
        if (OpenHalvex(port.c_str()) != 0)
            return 3;
        // Slots 2-16 were silent: the first command would wait for the line to settle.
        halvex::SleepMs(halvex::kSettleGuardMs + 20);
        std::vector<double> times;
        const double cpu0 = CpuMs();
        const auto wall0 = Clock::now();
        for (int i = 0; i < rounds; ++i) {
            const auto start = Clock::now();
            if (CloseX16RelayMatrix(1, 1 + i % 16, 1) != 0)
                return 4;
            times.push_back(Ms(Clock::now() - start));
        }
        s.relayCpuShare = (CpuMs() - cpu0) / Ms(Clock::now() - wall0) * 100.0;
        s.medianMs = Percentile(times, 50);
        s.p99Ms = Percentile(times, 99);
        s.overheadMs = s.medianMs - (pauseMs + turnaround);

        sim.Request("reset");  // 16 silent slots
        const double cpu1 = CpuMs();
        auto start = Clock::now();
        OpenHalvex(port.c_str());
        s.emptyDiscoveryMs = Ms(Clock::now() - start);
        s.emptyDiscoveryCpuShare = (CpuMs() - cpu1) / s.emptyDiscoveryMs * 100.0;

        const char* models[] = {"X16", "X48", "Y48"};
        for (int slot = 1; slot <= 16; ++slot) {
            sim.Request("card " + std::to_string(slot) + " " + models[slot % 3] + " HALVEX " +
                        models[slot % 3]);
        }
        halvex::SleepMs(halvex::kSettleGuardMs + 20);  // after the empty discovery's last slot
        start = Clock::now();
        OpenHalvex(port.c_str());
        s.fullDiscoveryMs = Ms(Clock::now() - start);
        CloseHalvex();
        results.push_back(s);
    }
    halvex::SetSpinningWait(false);

    // The monitoring cycle: interval plus 10 ms plus the I/O.
    sim.Request("reset");
    sim.Request("card 1 X16 HALVEX X16 BENCH");
    OpenHalvex(port.c_str());
    const double interval = 0.1;
    BeginX16SignalMonitoring(1, monitorPort.c_str(), interval, &OnReading);
    const auto until = Clock::now() + std::chrono::milliseconds(quick ? 1500 : 5000);
    while (Clock::now() < until)
        halvex::SleepMs(20);
    EndX16SignalMonitoring(1);

    CloseHalvex();
    std::vector<double> periods;
    for (size_t i = 1; i < gReadings.size(); ++i)
        periods.push_back(Ms(gReadings[i] - gReadings[i - 1]));
    double mean = 0, worst = 0, var = 0;
    for (double p : periods)
        mean += p / periods.size();
    for (double p : periods) {
        var += (p - mean) * (p - mean) / periods.size();
        worst = std::max(worst, std::fabs(p - (interval * 1000 + 10)));
    }

    // What settling after an unanswered command costs the command that follows it.
    sim.Request("card 2 X16 HALVEX X16 SILENT");
    OpenHalvex(port.c_str());
    sim.Request("silent 2 1");
    std::vector<double> afterSilent, afterAnswer;
    for (int i = 0; i < (quick ? 10 : 40); ++i) {
        CloseX16GPRelay(1, 1);
        auto t = Clock::now();
        CloseX16GPRelay(1, 2);
        afterAnswer.push_back(Ms(Clock::now() - t));
        CloseX16GPRelay(2, 1);  // 4 after its 50 ms limit
        t = Clock::now();
        CloseX16GPRelay(1, 3);
        afterSilent.push_back(Ms(Clock::now() - t));
    }
    const double afterAnswerMs = Percentile(afterAnswer, 50);
    const double afterSilentMs = Percentile(afterSilent, 50);

    // A monitoring port that has gone away: the worker must not spin while it waits for it.
    sim.Request("reset");
    sim.Request("card 1 X16 HALVEX X16 BENCH");
    OpenHalvex(port.c_str());
    BeginX16SignalMonitoring(1, monitorPort.c_str(), 0.0, &OnReading);
    halvex::SleepMs(200);
    sim.Vanish("mon01");
    halvex::SleepMs(100);
    const double cpuGone0 = CpuMs();
    const auto wallGone0 = Clock::now();
    halvex::SleepMs(quick ? 1000 : 3000);
    const double goneCpuShare = (CpuMs() - cpuGone0) / Ms(Clock::now() - wallGone0) * 100.0;
    sim.Replug("mon01");
    EndX16SignalMonitoring(1);
    CloseHalvex();

    std::printf("relay command over the simulated chassis, %d rounds\n", rounds);
    std::printf(
        "floor: pause %.1f ms + simulator turnaround %.3f ms (+ %.2f ms wire time on a real "
        "115200 bit/s line)\n\n",
        pauseMs, turnaround, wireMs);
    std::printf(
        "| reader | median ms | p99 ms | overhead ms | CPU %% (relays) | empty discovery ms | "
        "CPU %% (discovery) | full discovery ms |\n|---|---|---|---|---|---|---|---|\n");
    for (const Strategy& s : results) {
        std::printf("| %s | %.2f | %.2f | %.3f | %.1f | %.0f | %.1f | %.0f |\n", s.name.c_str(),
                    s.medianMs, s.p99Ms, s.overheadMs, s.relayCpuShare, s.emptyDiscoveryMs,
                    s.emptyDiscoveryCpuShare, s.fullDiscoveryMs);
    }
    const Strategy& poll = results[0];
    const Strategy& sleep = results[1];
    std::printf("\nprocessor time while waiting: %.1fx less (relays), %.1fx less (discovery)\n",
                poll.relayCpuShare / std::max(sleep.relayCpuShare, 0.01),
                poll.emptyDiscoveryCpuShare / std::max(sleep.emptyDiscoveryCpuShare, 0.01));
    std::printf(
        "monitoring every %.0f ms: %zu periods, mean %.2f ms (expected about %.0f plus I/O), "
        "jitter %.2f ms rms, worst %.2f ms\n",
        interval * 1000, periods.size(), mean, interval * 1000 + 10, std::sqrt(var), worst);

    std::printf(
        "\nsettling after an unanswered command: the next command takes %.2f ms (%.2f ms after "
        "an answered one)\n",
        afterSilentMs, afterAnswerMs);
    std::printf("monitoring port gone: %.2f %% of a core while the worker waits for it\n",
                goneCpuShare);

    if (!jsonPath.empty()) {
        std::ostringstream j;
        j << "{\"rounds\":" << rounds << ",\"turnaround_ms\":" << turnaround
          << ",\"pause_ms\":" << pauseMs << ",\"wire_ms\":" << wireMs << ",\"strategies\":[";
        for (size_t i = 0; i < results.size(); ++i) {
            const Strategy& s = results[i];
            j << (i ? "," : "") << "{\"reader\":\"" << s.name << "\",\"median_ms\":" << s.medianMs
              << ",\"p99_ms\":" << s.p99Ms << ",\"overhead_ms\":" << s.overheadMs
              << ",\"relay_cpu_percent\":" << s.relayCpuShare
              << ",\"empty_discovery_ms\":" << s.emptyDiscoveryMs
              << ",\"empty_discovery_cpu_percent\":" << s.emptyDiscoveryCpuShare
              << ",\"full_discovery_ms\":" << s.fullDiscoveryMs << "}";
        }
        j << "],\"monitoring\":{\"interval_ms\":" << interval * 1000
          << ",\"periods\":" << periods.size() << ",\"mean_ms\":" << mean
          << ",\"jitter_rms_ms\":" << std::sqrt(var) << ",\"worst_ms\":" << worst << "}"
          << ",\"after_unanswered_ms\":" << afterSilentMs
          << ",\"after_answered_ms\":" << afterAnswerMs
          << ",\"monitor_port_gone_cpu_percent\":" << goneCpuShare << "}\n";
        if (FILE* f = std::fopen(jsonPath.c_str(), "w")) {
            std::fputs(j.str().c_str(), f);
            std::fclose(f);
        }
    }
    if (maxCpuShare >= 0 &&
        (sleep.relayCpuShare > maxCpuShare || sleep.emptyDiscoveryCpuShare > maxCpuShare ||
         goneCpuShare > maxCpuShare)) {
        std::printf("FAIL: waiting used more than %.0f%% of a core\n", maxCpuShare);
        return 1;
    }
    return 0;
}
