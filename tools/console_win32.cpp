#include <io.h>
#include <windows.h>

#include "console.h"

namespace halvexctl {

namespace {
void (*gHandler)() = nullptr;
BOOL WINAPI OnConsoleEvent(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    if (gHandler != nullptr)
        gHandler();
    return TRUE;
}
}  // namespace

std::string Cp949ToUtf8(const std::string& text) {
    const int wide =
        MultiByteToWideChar(949, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (wide <= 0)
        return text;
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(949, 0, text.data(), static_cast<int>(text.size()), &w[0], wide);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], bytes, nullptr, nullptr);
    return out;
}

void OnInterrupt(void (*handler)()) {
    gHandler = handler;
    SetConsoleCtrlHandler(OnConsoleEvent, handler != nullptr ? TRUE : FALSE);
    SetConsoleOutputCP(CP_UTF8);
}

void ReleaseSeries(CardInfo* records) {
    HeapFree(GetProcessHeap(), 0, records);
}

void PauseMs(int ms) {
    Sleep(static_cast<DWORD>(ms));
}

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

}  // namespace halvexctl
