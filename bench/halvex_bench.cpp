// Measures what the library adds above the floor of every exchange, and the processor time it
// spends while it waits, with the reader sleeping (the default) and with it polling back to
// back as the first design did, in the same run against the simulated chassis; then the same
// through the built library (HALVEX_LIBRARY), and what the fixed pauses last.
//
// Run by run_with_simulator.sh, which provides HALVEX_PORT, HALVEX_MONITOR_PORTS,
// HALVEX_SIM_CONTROL, HALVEX_LIBRARY and HALVEX_EXPORT_NAMES (and under Wine HALVEX_UNIX_PID).
// Options: --quick, --rounds N (relay commands per reader), --json FILE, --max-cpu-share
// PERCENT (fail when the sleeping reader uses more).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#endif

#include "api/binding.h"
#include "api/sim_client.h"
#include "driver/controller.h"
#include "halvex.h"
#include "cards/protocol.h"
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

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// The process's processor time as Linux counts it: the run time of each of its threads, in
// nanoseconds, read from outside Windows' accounting (which Wine keeps in coarse steps). -1
// where the process's Linux id is not known; natively the first clock already is Linux's.
// Threads that ended are no longer counted, so a measurement spans no thread's end.
double LinuxCpuMs() {
#if defined(_WIN32)
    const std::string pid = Env("HALVEX_UNIX_PID");
    if (pid.empty())
        return -1;
    const std::string tasks = "Z:\\proc\\" + pid + "\\task\\";
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((tasks + "*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return -1;
    double ns = 0;
    int threads = 0;
    do {
        if (entry.cFileName[0] < '0' || entry.cFileName[0] > '9')
            continue;  // "." and ".."
        FILE* f = std::fopen((tasks + entry.cFileName + "\\schedstat").c_str(), "r");
        unsigned long long runNs = 0;
        if (f != nullptr && std::fscanf(f, "%llu", &runNs) == 1) {
            ns += static_cast<double>(runNs);
            ++threads;
        }
        if (f != nullptr)
            std::fclose(f);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return threads > 0 ? ns / 1e6 : -1;
#else
    return -1;
#endif
}

// Processor time of this process by both counts, and the share of a core since a start.
struct CpuMark {
    double ms = CpuMs(), linuxMs = LinuxCpuMs();
    Clock::time_point wall = Clock::now();
};
struct CpuShare {
    double percent = 0, linuxPercent = -1;
};
CpuShare ShareSince(const CpuMark& start) {
    const CpuMark end;
    const double wall = Ms(end.wall - start.wall);
    CpuShare share;
    share.percent = (end.ms - start.ms) / wall * 100.0;
    if (start.linuxMs >= 0 && end.linuxMs >= 0)
        share.linuxPercent = (end.linuxMs - start.linuxMs) / wall * 100.0;
    return share;
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(std::ceil(p / 100.0 * v.size())) - 1;
    return v[std::min(i, v.size() - 1)];
}

struct Strategy {
    std::string name;
    double medianMs = 0, p99Ms = 0, overheadMs = 0;
    double lateReplyMs = 0;  // median of a command whose reply comes while the reader waits
    CpuShare relayCpu, emptyDiscoveryCpu;
    double emptyDiscoveryMs = 0, fullDiscoveryMs = 0;
};

// The exports a strategy is measured through: the linked objects or the loaded library.
struct Calls {
    decltype(&::OpenHalvex) open;
    decltype(&::CloseHalvex) close;
    decltype(&::CloseX16RelayMatrix) relay;
};

// The simulator's own turnaround: a relay line written straight to the port and the time until
// its reply's line feed is queued, with no pause and no library in between. Polled back to
// back, so that no way of waiting adds its wake-up to the floor.
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
    int rounds = 0;
    std::string jsonPath;
    double maxCpuShare = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--quick")
            quick = true;
        if (a == "--json" && i + 1 < argc)
            jsonPath = argv[++i];
        if (a == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
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
    if (rounds <= 0)
        rounds = quick ? 60 : 400;

    sim.Request("reset");
    sim.Request("card 1 X16 HALVEX X16 BENCH");
    const double turnaround = SimulatorTurnaroundMs(port, rounds);
    const double pauseMs = 10.0;
    constexpr int kLateReplyMs = 20;
    // On a real line the command (16 bytes) and the reply (3 bytes) also take their wire time.
    const double wireMs = (16 + 3) * 10 / 115200.0 * 1000.0;

    std::vector<Strategy> results;
    // Relay commands, an empty-chassis discovery and a full one; false when a call failed.
    auto measure = [&](const std::string& name, const Calls& calls) {
        Strategy s;
        s.name = name;
        sim.Request("reset");
        sim.Request("card 1 X16 HALVEX X16 BENCH");
        if (calls.open(port.c_str()) != 0)
            return false;
        // Slots 2-16 were silent: the first command would wait for the line to settle.
        halvex::SleepMs(halvex::kSettleGuardMs + 20);
        std::vector<double> times;
        const CpuMark relays;
        for (int i = 0; i < rounds; ++i) {
            const auto start = Clock::now();
            if (calls.relay(1, 1 + i % 16, 1) != 0)
                return false;
            times.push_back(Ms(Clock::now() - start));
        }
        s.relayCpu = ShareSince(relays);
        s.medianMs = Percentile(times, 50);
        s.p99Ms = Percentile(times, 99);
        s.overheadMs = s.medianMs - (pauseMs + turnaround);

        // The reply comes 10 ms after the pause: what the reader's wake-up adds to it.
        sim.Request("delay 1 " + std::to_string(kLateReplyMs));
        std::vector<double> late;
        for (int i = 0; i < (quick ? 10 : 30); ++i) {
            const auto start = Clock::now();
            if (calls.relay(1, 1 + i % 16, 1) != 0)
                return false;
            late.push_back(Ms(Clock::now() - start));
        }
        sim.Request("delay 1 0");
        s.lateReplyMs = Percentile(late, 50);

        sim.Request("reset");  // 16 silent slots
        const CpuMark discovery;
        calls.open(port.c_str());
        s.emptyDiscoveryCpu = ShareSince(discovery);
        s.emptyDiscoveryMs = Ms(Clock::now() - discovery.wall);

        const char* models[] = {"X16", "X48", "Y48"};
        for (int slot = 1; slot <= 16; ++slot) {
            sim.Request("card " + std::to_string(slot) + " " + models[slot % 3] + " HALVEX " +
                        models[slot % 3]);
        }
        halvex::SleepMs(halvex::kSettleGuardMs + 20);  // after the empty discovery's last slot
        const auto start = Clock::now();
        calls.open(port.c_str());
        s.fullDiscoveryMs = Ms(Clock::now() - start);
        calls.close();
        results.push_back(s);
        return true;
    };
    const Calls linked{&OpenHalvex, &CloseHalvex, &CloseX16RelayMatrix};
    for (const bool spin : {true, false}) {
        halvex::SetSpinningWait(spin);
        if (!measure(spin ? "polling (first design)" : "sleeping (now)", linked))
            return 3;
    }
    halvex::SetSpinningWait(false);

    // The same through the library as a program loads it (the DLL under Wine), if named.
    const std::string libraryPath = Env("HALVEX_LIBRARY");
    std::unique_ptr<halvex_test::Library> library;
    if (!libraryPath.empty()) {
        library.reset(new halvex_test::Library(libraryPath, Env("HALVEX_EXPORT_NAMES")));
        const halvex_test::Api& api = library->api();
        std::string file = libraryPath.substr(libraryPath.find_last_of("/\\") + 1);
        if (!measure("sleeping, through " + file,
                     {api.OpenHalvex, api.CloseHalvex, api.CloseX16RelayMatrix}))
            return 3;
    }

    // What the fixed pauses last: after commands and the monitor's PHOTO (10 ms), the
    // monitor's cycle without a port (20 ms), the X48 reset (30 ms), the settling (80 ms).
    struct Pause {
        int32_t askedMs;
        double medianMs, p99Ms, maxMs;
    };
    std::vector<Pause> pauses;
    for (const int32_t asked : {1, 10, 20, 30, halvex::kSettleGuardMs}) {
        std::vector<double> lasted;
        for (int i = 0; i < (quick ? 10 : 40); ++i) {
            const auto start = Clock::now();
            halvex::SleepMs(asked);
            lasted.push_back(Ms(Clock::now() - start));
        }
        pauses.push_back({asked, Percentile(lasted, 50), Percentile(lasted, 99),
                          *std::max_element(lasted.begin(), lasted.end())});
    }

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

    // Relay commands through a simulated USB adapter: its latency timer at FTDI's default and
    // at the 1 ms low latency gives; at 16 ms also with the line feed as its event character.
    struct Adapter {
        const char* setting;
        double medianMs;
    };
    std::vector<Adapter> adapters = {{"16", 0}, {"1", 0}, {"16 event-char", 0}};
    for (Adapter& a : adapters) {
        sim.Request(std::string("adapter ") + a.setting);
        std::vector<double> times;
        for (int i = 0; i < (quick ? 20 : 100); ++i) {
            const auto t = Clock::now();
            CloseX16GPRelay(1, 1 + i % 16);
            times.push_back(Ms(Clock::now() - t));
        }
        a.medianMs = Percentile(times, 50);
    }
    sim.Request("adapter off");

    // A monitoring port that has gone away: the worker must not spin while it waits for it.
    sim.Request("reset");
    sim.Request("card 1 X16 HALVEX X16 BENCH");
    OpenHalvex(port.c_str());
    BeginX16SignalMonitoring(1, monitorPort.c_str(), 0.0, &OnReading);
    halvex::SleepMs(200);
    sim.Vanish("mon01");
    halvex::SleepMs(100);
    const CpuMark gone;
    halvex::SleepMs(quick ? 1000 : 3000);
    const double goneCpuShare = ShareSince(gone).percent;
    sim.Replug("mon01");
    EndX16SignalMonitoring(1);
    CloseHalvex();

    std::printf("relay command over the simulated chassis, %d rounds\n", rounds);
    std::printf(
        "floor: pause %.1f ms + simulator turnaround %.3f ms (+ %.2f ms wire time on a real "
        "115200 bit/s line)\n\n",
        pauseMs, turnaround, wireMs);
    const bool linuxCount = results[0].relayCpu.linuxPercent >= 0;
    std::printf(
        "| reader | median ms | p99 ms | overhead ms | CPU %% (relays) | empty discovery ms | "
        "CPU %% (discovery) | full discovery ms | reply after %d ms: median ms |%s\n"
        "|---|---|---|---|---|---|---|---|---|%s\n",
        kLateReplyMs,
        linuxCount ? " CPU % (relays), Linux count | CPU % (discovery), Linux count |" : "",
        linuxCount ? "---|---|" : "");
    for (const Strategy& s : results) {
        std::printf("| %s | %.2f | %.2f | %.3f | %.1f | %.0f | %.1f | %.0f | %.2f |",
                    s.name.c_str(), s.medianMs, s.p99Ms, s.overheadMs, s.relayCpu.percent,
                    s.emptyDiscoveryMs, s.emptyDiscoveryCpu.percent, s.fullDiscoveryMs,
                    s.lateReplyMs);
        if (linuxCount)
            std::printf(" %.1f | %.1f |", s.relayCpu.linuxPercent,
                        s.emptyDiscoveryCpu.linuxPercent);
        std::printf("\n");
    }
    const Strategy& poll = results[0];
    const Strategy& sleep = results[1];
    std::printf("\nprocessor time while waiting: %.1fx less (relays), %.1fx less (discovery)\n",
                poll.relayCpu.percent / std::max(sleep.relayCpu.percent, 0.01),
                poll.emptyDiscoveryCpu.percent / std::max(sleep.emptyDiscoveryCpu.percent, 0.01));
    std::printf("\n| pause asked ms | lasted: median ms | p99 ms | max ms |\n|---|---|---|---|\n");
    for (const Pause& p : pauses)
        std::printf("| %d | %.2f | %.2f | %.2f |\n", p.askedMs, p.medianMs, p.p99Ms, p.maxMs);
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
    std::printf("\n| USB adapter (latency timer ms) | relay median ms |\n|---|---|\n");
    for (const Adapter& a : adapters)
        std::printf("| %s | %.2f |\n", a.setting, a.medianMs);

    if (!jsonPath.empty()) {
        std::ostringstream j;
        j << "{\"rounds\":" << rounds << ",\"turnaround_ms\":" << turnaround
          << ",\"pause_ms\":" << pauseMs << ",\"late_reply_due_ms\":" << kLateReplyMs
          << ",\"wire_ms\":" << wireMs << ",\"strategies\":[";
        for (size_t i = 0; i < results.size(); ++i) {
            const Strategy& s = results[i];
            j << (i ? "," : "") << "{\"reader\":\"" << s.name << "\",\"median_ms\":" << s.medianMs
              << ",\"p99_ms\":" << s.p99Ms << ",\"overhead_ms\":" << s.overheadMs
              << ",\"relay_cpu_percent\":" << s.relayCpu.percent
              << ",\"empty_discovery_ms\":" << s.emptyDiscoveryMs
              << ",\"empty_discovery_cpu_percent\":" << s.emptyDiscoveryCpu.percent;
            if (linuxCount) {
                j << ",\"relay_cpu_percent_linux_count\":" << s.relayCpu.linuxPercent
                  << ",\"empty_discovery_cpu_percent_linux_count\":"
                  << s.emptyDiscoveryCpu.linuxPercent;
            }
            j << ",\"full_discovery_ms\":" << s.fullDiscoveryMs
              << ",\"late_reply_ms\":" << s.lateReplyMs << "}";
        }
        j << "],\"pauses\":[";
        for (size_t i = 0; i < pauses.size(); ++i) {
            j << (i ? "," : "") << "{\"asked_ms\":" << pauses[i].askedMs
              << ",\"median_ms\":" << pauses[i].medianMs << ",\"p99_ms\":" << pauses[i].p99Ms
              << ",\"max_ms\":" << pauses[i].maxMs << "}";
        }
        j << "],\"monitoring\":{\"interval_ms\":" << interval * 1000
          << ",\"periods\":" << periods.size() << ",\"mean_ms\":" << mean
          << ",\"jitter_rms_ms\":" << std::sqrt(var) << ",\"worst_ms\":" << worst << "}"
          << ",\"after_unanswered_ms\":" << afterSilentMs
          << ",\"after_answered_ms\":" << afterAnswerMs
          << ",\"monitor_port_gone_cpu_percent\":" << goneCpuShare << ",\"adapters\":[";
        for (size_t i = 0; i < adapters.size(); ++i) {
            j << (i ? "," : "") << "{\"setting\":\"" << adapters[i].setting
              << "\",\"relay_median_ms\":" << adapters[i].medianMs << "}";
        }
        j << "]}\n";
        if (FILE* f = std::fopen(jsonPath.c_str(), "w")) {
            std::fputs(j.str().c_str(), f);
            std::fclose(f);
        }
    }
    bool tooMuch = goneCpuShare > maxCpuShare;
    for (size_t i = 1; i < results.size(); ++i) {  // every sleeping reader
        tooMuch = tooMuch || results[i].relayCpu.percent > maxCpuShare ||
                  results[i].emptyDiscoveryCpu.percent > maxCpuShare;
    }
    if (maxCpuShare >= 0 && tooMuch) {
        std::printf("FAIL: waiting used more than %.0f%% of a core\n", maxCpuShare);
        return 1;
    }
    return 0;
}
