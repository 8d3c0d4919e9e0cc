#include "api/api_environment.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <sys/resource.h>
#endif

namespace halvex_test {

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

Setup gSetup;
std::unique_ptr<Library> gLibrary;
std::unique_ptr<SimClient> gSim;

}  // namespace

const Setup& TheSetup() {
    return gSetup;
}
Library& TheLibrary() {
    return *gLibrary;
}
const Api& A() {
    return gLibrary->api();
}
SimClient& Sim() {
    return *gSim;
}

std::string MonitorPort(int slot) {
    std::vector<std::string> ports;
    std::stringstream in(gSetup.monitorPorts);
    std::string item;
    while (std::getline(in, item, ','))
        ports.push_back(item);
    return slot >= 1 && slot <= static_cast<int>(ports.size()) ? ports[slot - 1] : "";
}

int OpenHandleCount() {
#if defined(_WIN32)
    // The system handle table, counted for this process: it also works where
    // GetProcessHandleCount only reports 0 (Wine).
    struct Entry {
        ULONG ownerPid;
        BYTE objectType, flags;
        USHORT value;
        PVOID object;
        ACCESS_MASK access;
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> table(4 << 20);
    ULONG length = 0;
    const ULONG kSystemHandleInformation = 16;
    if (query != nullptr && query(kSystemHandleInformation, table.data(),
                                  static_cast<ULONG>(table.size()), &length) == 0) {
        const ULONG entries = *reinterpret_cast<ULONG*>(table.data());
        const Entry* e = reinterpret_cast<const Entry*>(table.data() + sizeof(PVOID));
        int count = 0;
        for (ULONG i = 0; i < entries; ++i)
            count += e[i].ownerPid == GetCurrentProcessId();
        return count;
    }
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return static_cast<int>(count);
#else
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
#endif
}

double ProcessCpuMilliseconds() {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0.0;
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               10000.0;  // 100 ns units
    };
    return ms(kernel) + ms(user);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
#endif
}

int SettledHandleCount(int before) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int count = OpenHandleCount();
    while (count > before && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        count = OpenHandleCount();
    }
    return count;
}

void ApiTest::SetUp() {
    A().CloseHalvex();
    Sim().Reset();
}

void ApiTest::TearDown() {
    A().CloseHalvex();
}

std::vector<bool> ApiTest::PlugCards(const std::string& cards) {
    std::vector<bool> plugged(17, false);
    std::stringstream in(cards);
    std::string item;
    while (std::getline(in, item, ';')) {
        const size_t a = item.find(':');
        const size_t b = item.find(':', a + 1);
        const int slot = std::stoi(item.substr(0, a));
        Sim().Card(slot, item.substr(a + 1, b - a - 1), item.substr(b + 1));
        plugged.at(slot) = true;
    }
    return plugged;
}

void ApiTest::OpenAndClearLog() {
    ASSERT_EQ(A().OpenHalvex(gSetup.commandPort.c_str()), 0);
    Sim().ClearLog();
}

void ApiTest::OpenWith(const std::string& cards) {
    PlugCards(cards);
    OpenAndClearLog();
}

void ApiTest::OpenWithNoSilentSlot(const std::string& cards) {
    const std::vector<bool> plugged = PlugCards(cards);
    for (int slot = 1; slot <= 16; ++slot) {
        if (!plugged[slot])
            Sim().RawIdn(slot, "NO MODEL HERE\n");  // answers at once, registers nothing
    }
    OpenAndClearLog();
}

// A separate run of the program: begin monitoring, then unload the library while the monitor
// still runs, and exit. The harness expects exit status 0 within its time limit.
int UnloadProbe() {
    Library& lib = *gLibrary;
    gSim->Reset();
    gSim->Card(3, "X16", "HALVEX X16 UNLOAD PROBE");
    if (lib.api().OpenHalvex(gSetup.commandPort.c_str()) != 0)
        return 10;
    static std::atomic<int> readings{0};
    struct Callback {
        static void HALVEX_CALLBACK On(SignalStatus*, int32_t) { ++readings; }
    };
    if (lib.api().BeginX16SignalMonitoring(3, MonitorPort(3).c_str(), 0.05, &Callback::On) != 0) {
        return 11;
    }
    for (int i = 0; i < 200 && readings == 0; ++i)
        SleepMs(10);
    if (readings == 0)
        return 12;
    lib.api().CloseHalvex();
    lib.Unload();
    SleepMs(200);
    return 0;
}

// A separate run of the program: threads call the library without pause, a monitor runs, and
// the main thread exits the process under them. The harness expects exit status 0 (under
// AddressSanitizer, no use of freed memory).
const Api* gApi = nullptr;

int ExitRaceProbe() {
    const Api& api = gLibrary->api();
    gApi = &api;
    gSim->Reset();
    gSim->Card(3, "X16", "HALVEX X16 EXIT PROBE");
    gSim->Card(4, "X48", "HALVEX X48 EXIT PROBE");
    if (api.OpenHalvex(gSetup.commandPort.c_str()) != 0)
        return 10;
    struct Callback {
        static void HALVEX_CALLBACK On(SignalStatus*, int32_t) { gApi->CloseX48PullUpRelay(4); }
    };
    if (api.BeginX16SignalMonitoring(3, MonitorPort(3).c_str(), 0.01, &Callback::On) != 0)
        return 11;
    for (int t = 0; t < 3; ++t) {
        std::thread([t, &api] {
            const Api& a = api;
            for (;;) {
                CardInfo* records = nullptr;
                int32_t count = 0;
                a.GetHalvexSeries(&records, &count);
                ReleaseSeries(records);
                if (t == 0)
                    a.CloseX48RelayMatrix(4, 1, 1);
                if (t == 1)
                    a.EndX16SignalMonitoring(3);
            }
        }).detach();
    }
    SleepMs(300);
    std::fflush(stdout);
    // Exit with the library still loaded, as a program does: not the binding's unload at exit.
    static Library* const kept = gLibrary.release();
    static SimClient* const keptSim = gSim.release();
    (void)kept;
    (void)keptSim;
    std::exit(0);
}

}  // namespace halvex_test

int main(int argc, char** argv) {
    using namespace halvex_test;
    gSetup = {Env("HALVEX_LIBRARY"), Env("HALVEX_EXPORT_NAMES"), Env("HALVEX_PORT"),
              Env("HALVEX_MONITOR_PORTS"), Env("HALVEX_SIM_CONTROL")};
    if (gSetup.library.empty() || gSetup.commandPort.empty() || gSetup.control.empty()) {
        std::fprintf(stderr,
                     "set HALVEX_LIBRARY, HALVEX_EXPORT_NAMES, HALVEX_PORT, "
                     "HALVEX_MONITOR_PORTS and HALVEX_SIM_CONTROL (run_with_simulator.sh does)\n");
        return 2;
    }
    if (gSetup.names.empty())
        gSetup.names = "plain";
    try {
        gLibrary = std::make_unique<Library>(gSetup.library, gSetup.names);
        gSim = std::make_unique<SimClient>(gSetup.control);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
    if (argc > 1 && std::strcmp(argv[1], "--exit-race-probe") == 0)
        return ExitRaceProbe();
    if (argc > 1 && std::strcmp(argv[1], "--unload-probe") == 0) {
        const int rc = UnloadProbe();
        std::printf("unload probe: %s (%d)\n", rc == 0 ? "clean exit" : "failed", rc);
        std::fflush(stdout);
        gSim.reset();
        return rc;
    }
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    gSim.reset();
    gLibrary.reset();
    return rc;
}
