/*
 * A Visual Studio style client: compiled for the MSVC ABI (clang --target=i686-pc-windows-msvc,
 * or x86_64-pc-windows-msvc for 64-bit), linked by lld-link against Halvex32.lib, Halvex32D.lib
 * or Halvex64.lib and a kernel32 import library only,
 * with no C runtime at all (its own entry point, output through WriteFile). It runs under Wine
 * against the simulated chassis and prints one line per step; check_client.py judges the lines
 * and the bytes the chassis received. The C# sample prints the same lines.
 *
 * Environment: HALVEX_PORT (command port), HALVEX_MONITOR_PORTS (the monitoring ports of slots
 * 1 to 16, comma-separated). Build with -DHALVEX_CLIENT_DEBUG_DLL for Halvex32D.dll.
 */
#include "halvex.h"

/* kernel32, declared by hand: no Windows SDK headers here. */
typedef void* HANDLE;
typedef void* HMODULE;
typedef int BOOL;
typedef unsigned long DWORD;
typedef int(__stdcall* FARPROC)(void);
#define STD_OUTPUT_HANDLE ((DWORD)-11)
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
__declspec(dllimport) DWORD
    __stdcall GetEnvironmentVariableA(const char* name, char* buffer, DWORD size);
__declspec(dllimport) HMODULE __stdcall GetModuleHandleA(const char* name);
__declspec(dllimport) FARPROC __stdcall GetProcAddress(HMODULE module, const char* name);
__declspec(dllimport) HANDLE __stdcall GetProcessHeap(void);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) BOOL __stdcall HeapFree(HANDLE heap, DWORD flags, void* block);
__declspec(dllimport) int __stdcall MultiByteToWideChar(unsigned int codePage, DWORD flags,
                                                        const char* text, int length,
                                                        unsigned short* wide, int wideLength);
__declspec(dllimport) void __stdcall Sleep(DWORD milliseconds);
__declspec(dllimport) int __stdcall WideCharToMultiByte(unsigned int codePage, DWORD flags,
                                                        const unsigned short* wide, int wideLength,
                                                        char* text, int length,
                                                        const char* defaultChar, BOOL* usedDefault);
__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE file, const void* data, DWORD size,
                                               DWORD* written, void* overlapped);

/* The compiler references this symbol once floating point is used; the C runtime defines it. */
int _fltused = 0;

/* ---- Output without a C runtime ---- */

static char gLine[512];
static int gLength;

static void Put(const char* text) {
    while (*text && gLength < (int)sizeof gLine - 2)
        gLine[gLength++] = *text++;
}

static void PutInt(int32_t value) {
    char digits[12];
    int n = 0;
    uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
    do {
        digits[n++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        Put("-");
    while (n) {
        char one[2] = {digits[--n], 0};
        Put(one);
    }
}

static void EndLine(void) {
    DWORD written;
    gLine[gLength++] = '\n';
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), gLine, (DWORD)gLength, &written, 0);
    gLength = 0;
}

static void Report(const char* step, int32_t value) {
    Put(step);
    Put(" ");
    PutInt(value);
    EndLine();
}

/* The library's messages are code page 949; shown here in UTF-8. */
static void PutCp949(const char* text) {
    unsigned short wide[128];
    char utf8[384];
    int n = MultiByteToWideChar(949, 0, text, -1, wide, 128);
    if (n > 0 && WideCharToMultiByte(65001, 0, wide, -1, utf8, (int)sizeof utf8, 0, 0) > 0)
        Put(utf8);
    else
        Put("(not code page 949)");
}

/* ---- By name, as a program that loads the DLL itself would bind ---- */

/* [guide:c-by-name] */
#if defined(_WIN64)
#define HALVEX_DLL "Halvex64.dll" /* plain names only */
#define NAME_GetHalvexErrorInfo "GetHalvexErrorInfo"
#define NAME_OpenX48PullUpRelay "OpenX48PullUpRelay"
#elif defined(HALVEX_CLIENT_DEBUG_DLL)
#define HALVEX_DLL "Halvex32D.dll"
#define NAME_GetHalvexErrorInfo "GetHalvexErrorInfo"
#define NAME_OpenX48PullUpRelay "_OpenX48PullUpRelay@4" /* one of the eight kept decorated */
#else
#define HALVEX_DLL "Halvex32.dll"
#define NAME_GetHalvexErrorInfo "_GetHalvexErrorInfo@12"
#define NAME_OpenX48PullUpRelay "_OpenX48PullUpRelay@4"
#endif
typedef int32_t(HALVEX_API* GetHalvexErrorInfoFn)(int32_t code, char* buffer, int32_t size);
typedef int32_t(HALVEX_API* OpenX48PullUpRelayFn)(int32_t cardNumber);
/* [/guide:c-by-name] */

/* ---- Monitoring: the callback is cdecl, the functions stdcall ---- */

static volatile int32_t gReadings;
static volatile int32_t gFirstCount;
static SignalStatus gFirst[8];

static void HALVEX_CALLBACK OnReading(SignalStatus* status, int32_t count) {
    if (gReadings == 0) {
        gFirstCount = count;
        for (int32_t i = 0; i < count && i < 8; ++i)
            gFirst[i] = status[i];
    }
    gReadings = gReadings + 1;
}

/* 1 once count readings have arrived; Wine's start and the port's open may take a while. */
static int WaitForReadings(int32_t count) {
    for (int i = 0; i < 750 && gReadings < count; ++i) /* 15 s */
        Sleep(20);
    return gReadings >= count;
}

/* The n-th (1-based) entry of a comma-separated list, into out. */
static int ListEntry(const char* list, int n, char* out, int size) {
    int index = 1, length = 0;
    for (; *list; ++list) {
        if (*list == ',') {
            if (index++ == n)
                break;
            continue;
        }
        if (index == n && length < size - 1)
            out[length++] = *list;
    }
    out[length] = 0;
    return length > 0;
}

void client_main(void) {
    char port[128], monitors[1024], monitor[128], text[HALVEX_MESSAGE_MAX];
    if (!GetEnvironmentVariableA("HALVEX_PORT", port, sizeof port) ||
        !GetEnvironmentVariableA("HALVEX_MONITOR_PORTS", monitors, sizeof monitors) ||
        !ListEntry(monitors, 3, monitor, sizeof monitor)) {
        Put("usage: set HALVEX_PORT and HALVEX_MONITOR_PORTS");
        EndLine();
        ExitProcess(2);
    }
    Report("cardinfo-size", (int32_t)sizeof(CardInfo));
    Report("open", OpenHalvex(port));

    CardInfo* records = 0;
    int32_t count = -1;
    Report("series", GetHalvexSeries(&records, &count));
    Report("count", count);
    for (int32_t i = 0; i < count; ++i) {
        Put("card ");
        PutInt(records[i].cardNumber);
        Put(" ");
        Put(records[i].idText);
        EndLine();
    }
    /* The array comes from the process heap, whatever runtime the caller uses. */
    Report("series-freed", HeapFree(GetProcessHeap(), 0, records) ? 1 : 0);

    Report("close-matrix", CloseX16RelayMatrix(3, 5, 7));
    Report("wrong-model", CloseY48GPRelay(3, 1));
    Report("x48-on-x16", OpenX48GndRelay(3)); /* decorated in both DLLs */
    int32_t missing = ResetHalvex(9);
    Report("no-card", missing);
    GetHalvexErrorInfo(missing, text, sizeof text);
    Put("message ");
    PutInt(missing);
    Put(" ");
    PutCp949(text);
    EndLine();

    Report("monitor-begin", BeginX16SignalMonitoring(3, monitor, 0.05, OnReading));
    Report("monitor-first", WaitForReadings(1));
    /* Refused on a running monitor, which goes on reading. */
    Report("monitor-again", BeginX16SignalMonitoring(3, monitor, 0.05, OnReading));
    Report("monitor-kept", WaitForReadings(gReadings + 3));
    Report("monitor-end", EndX16SignalMonitoring(3));
    Report("readings", gReadings > 0 ? 1 : 0);
    Put("first-reading ");
    PutInt(gFirstCount);
    for (int i = 0; i < 8; ++i) {
        Put(" ");
        PutInt(gFirst[i].channel);
        Put(":");
        PutInt(gFirst[i].state);
    }
    EndLine();

    HMODULE dll = GetModuleHandleA(HALVEX_DLL);
    GetHalvexErrorInfoFn errorInfo =
        (GetHalvexErrorInfoFn)(void*)GetProcAddress(dll, NAME_GetHalvexErrorInfo);
    OpenX48PullUpRelayFn pullUp =
        (OpenX48PullUpRelayFn)(void*)GetProcAddress(dll, NAME_OpenX48PullUpRelay);
    if (errorInfo && pullUp) {
        char byName[HALVEX_MESSAGE_MAX];
        int32_t wrong = pullUp(3);
        errorInfo(wrong, byName, sizeof byName);
        Put("by-name ");
        PutInt(wrong);
        Put(" ");
        PutCp949(byName);
        EndLine();
    } else {
        Report("by-name-missing", (errorInfo ? 0 : 1) + (pullUp ? 0 : 2));
    }
    Report("close", CloseHalvex());
    ExitProcess(0);
}
